// Published known answers (FIPS-197 and NIST SP 800-38A), read from the vector
// files under tests/data, through every block implementation, both
// directions, in separate buffers and in place.
#include <algorithm>
#include <fstream>
#include <sstream>

#include "aes_test_support.h"

namespace ipveil::aes_test {
namespace {

struct KnownAnswer {
    std::string where;  // file:line of the record, for failure messages
    CipherMode mode;
    Bytes key, iv, plaintext, ciphertext;
    int bits = 0;
};

// Records are "name = hex" lines separated by blank lines; '#' starts a comment.
std::vector<KnownAnswer> loadVectors(const std::string& fileName, CipherMode mode) {
    const std::string path = std::string(IPVEIL_TEST_DATA) + "/" + fileName;
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot open " << path;
    std::vector<KnownAnswer> vectors;
    KnownAnswer record{};
    int lineNumber = 0;
    auto flush = [&] {
        if (record.key.empty()) return;
        if (record.bits == 0) record.bits = 8 * static_cast<int>(record.plaintext.size());
        vectors.push_back(record);
        record = KnownAnswer{};
    };
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        if (line.empty()) {
            flush();
            continue;
        }
        if (line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, equals, value;
        fields >> name >> equals >> value;
        if (record.key.empty()) {
            record.where = fileName + ":" + std::to_string(lineNumber);
            record.mode = mode;
        }
        if (name == "key")
            record.key = fromHex(value);
        else if (name == "iv")
            record.iv = fromHex(value);
        else if (name == "plaintext")
            record.plaintext = fromHex(value);
        else if (name == "ciphertext")
            record.ciphertext = fromHex(value);
        else if (name == "bits")
            record.bits = std::stoi(value);
        else
            ADD_FAILURE() << path << ":" << lineNumber << ": unknown field " << name;
    }
    flush();
    return vectors;
}

std::vector<KnownAnswer> allVectors() {
    std::vector<KnownAnswer> all;
    const std::pair<const char*, CipherMode> files[] = {
        {"aes_ecb.vec", ECB}, {"aes_cbc.vec", CBC}, {"aes_cfb1.vec", CFB1}};
    for (const auto& [file, mode] : files) {
        auto vectors = loadVectors(file, mode);
        EXPECT_EQ(vectors.size(), 3u) << file << ": one record per key size";
        all.insert(all.end(), vectors.begin(), vectors.end());
    }
    return all;
}

// Runs `bits` of `data` through one call on whole blocks, as the cipher
// requires, and returns the first bits / 8 bytes. The bytes after the data
// are zero: CFB-1 output bits depend only on the bits before them.
Bytes run(const AesCipher& cipher, bool decrypt, const Bytes& data, int bits, bool inPlace) {
    const int callBits = (bits + 127) / 128 * 128;
    Bytes input(static_cast<std::size_t>(callBits / 8), 0);
    std::copy(data.begin(), data.end(), input.begin());
    Bytes separate(input.size(), 0xEE);
    std::uint8_t* output = inPlace ? input.data() : separate.data();
    const int done = decrypt ? cipher.decryptBlocks(input.data(), callBits, output)
                             : cipher.encryptBlocks(input.data(), callBits, output);
    EXPECT_EQ(done, callBits);
    return Bytes(output, output + bits / 8);
}

class AesKnownAnswer : public PerImplementation {};

TEST_P(AesKnownAnswer, MatchesPublishedVectors) {
    const auto vectors = allVectors();
    ASSERT_EQ(vectors.size(), 9u);
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.where);
        ASSERT_TRUE(v.key.size() == 16 || v.key.size() == 24 || v.key.size() == 32);
        ASSERT_EQ(v.bits % 8, 0);
        ASSERT_EQ(v.plaintext.size(), static_cast<std::size_t>(v.bits / 8));
        ASSERT_EQ(v.ciphertext.size(), v.plaintext.size());
        const int keySize = static_cast<int>(v.key.size() - 16) / 8;
        const std::uint8_t* iv = v.iv.empty() ? nullptr : v.iv.data();

        AesCipher encryptor, decryptor;
        ASSERT_EQ(encryptor.setup(v.mode, Encrypt, v.key.data(), keySize, iv), Ok);
        ASSERT_EQ(decryptor.setup(v.mode, Decrypt, v.key.data(), keySize, iv), Ok);
        for (bool inPlace : {false, true}) {
            SCOPED_TRACE(inPlace ? "in place" : "separate buffers");
            EXPECT_EQ(run(encryptor, false, v.plaintext, v.bits, inPlace), v.ciphertext);
            EXPECT_EQ(run(decryptor, true, v.ciphertext, v.bits, inPlace), v.plaintext);
            // CFB-1 decrypts with the forward cipher, so an Encrypt context can too.
            if (v.mode == CFB1) {
                EXPECT_EQ(run(encryptor, true, v.ciphertext, v.bits, inPlace), v.plaintext);
            }
        }
    }
}

IPVEIL_FOR_EACH_IMPLEMENTATION(AesKnownAnswer);

}  // namespace
}  // namespace ipveil::aes_test
