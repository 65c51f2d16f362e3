// Differential tests against OpenSSL's EVP interface: random keys, vectors and
// lengths in every mode and key size, through every block implementation.
#include <openssl/evp.h>

#include <memory>
#include <utility>

#include "aes_test_support.h"

namespace ipveil::aes_test {
namespace {

const EVP_CIPHER* evpCipher(CipherMode mode, int keySize) {
    static const EVP_CIPHER* const ciphers[3][3] = {
        {EVP_aes_128_ecb(), EVP_aes_192_ecb(), EVP_aes_256_ecb()},
        {EVP_aes_128_cbc(), EVP_aes_192_cbc(), EVP_aes_256_cbc()},
        {EVP_aes_128_cfb1(), EVP_aes_192_cfb1(), EVP_aes_256_cfb1()},
    };
    return ciphers[mode][keySize];
}

// One whole message through OpenSSL; for CFB-1 its lengths count bytes, each
// carrying eight data bits.
Bytes openssl(CipherMode mode, int keySize, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in,
              bool padding) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes out(in.size() + 32);
    int written = 0;
    int last = 0;
    const bool ok = ctx &&
                    EVP_CipherInit_ex(ctx.get(), evpCipher(mode, keySize), nullptr, key.data(),
                                      mode == ECB ? nullptr : iv.data(), encrypt ? 1 : 0) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0) == 1 &&
                    EVP_CipherUpdate(ctx.get(), out.data(), &written, in.data(), static_cast<int>(in.size())) == 1 &&
                    EVP_CipherFinal_ex(ctx.get(), out.data() + written, &last) == 1;
    EXPECT_TRUE(ok) << "OpenSSL refused the message";
    out.resize(static_cast<std::size_t>(written + last));
    return out;
}

const char* const ModeNames[] = {"ECB", "CBC", "CFB1"};

class AesVersusOpenSsl : public PerImplementation {};

// Block counts around the widths a wide path may work in (1, 2, 4, 8 blocks)
// and the remainders after them.
constexpr int BlockCounts[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33};

TEST_P(AesVersusOpenSsl, BlockOperationsMatch) {
    std::mt19937 rng(20240611);
    for (int mode : {ECB, CBC, CFB1}) {
        for (int keySize : AllKeySizes) {
            for (int blocks : BlockCounts) {
                const auto m = static_cast<CipherMode>(mode);
                // A stray 0..127 bits past the whole blocks must be ignored.
                const int extraBits = static_cast<int>(rng() % 128);
                const int bits = 128 * blocks + extraBits;
                SCOPED_TRACE(std::string(ModeNames[mode]) + " keySize " + std::to_string(keySize) + " bits " +
                             std::to_string(bits));
                const Bytes key = randomBytes(rng, keyLength(keySize));
                const Bytes iv = randomBytes(rng, 16);
                // One more block than is processed: it must come out untouched.
                const Bytes plain = randomBytes(rng, 16 * static_cast<std::size_t>(blocks + 1));
                const std::size_t used = 16 * static_cast<std::size_t>(blocks);
                const Bytes plainUsed(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(used));
                const Bytes cipherUsed = openssl(m, keySize, true, key, iv, plainUsed, false);
                ASSERT_EQ(openssl(m, keySize, false, key, iv, cipherUsed, false), plainUsed);

                AesCipher encryptor, decryptor;
                ASSERT_EQ(encryptor.setup(mode, Encrypt, key.data(), keySize, iv.data()), Ok);
                ASSERT_EQ(decryptor.setup(mode, Decrypt, key.data(), keySize, iv.data()), Ok);
                std::vector<const AesCipher*> decryptors{&decryptor};
                if (m == CFB1) decryptors.push_back(&encryptor);

                // The block past the processed ones keeps its bytes: the
                // sentinel in a separate output, the input's own in place.
                const Bytes tail(plain.end() - 16, plain.end());
                const Bytes sentinel(16, 0xEE);
                auto join = [](Bytes head, const Bytes& rest) {
                    head.insert(head.end(), rest.begin(), rest.end());
                    return head;
                };
                const Bytes cipher = join(cipherUsed, tail);

                Bytes out(plain.size(), 0xEE);
                EXPECT_EQ(encryptor.encryptBlocks(plain.data(), bits, out.data()), 128 * blocks);
                EXPECT_EQ(out, join(cipherUsed, sentinel)) << "separate buffers";
                Bytes inPlace = plain;
                EXPECT_EQ(encryptor.encryptBlocks(inPlace.data(), bits, inPlace.data()), 128 * blocks);
                EXPECT_EQ(inPlace, cipher) << "in place";

                for (const AesCipher* d : decryptors) {
                    SCOPED_TRACE(d == &encryptor ? "Encrypt context decrypting" : "Decrypt context");
                    Bytes back(plain.size(), 0xEE);
                    EXPECT_EQ(d->decryptBlocks(cipher.data(), bits, back.data()), 128 * blocks);
                    EXPECT_EQ(back, join(plainUsed, sentinel)) << "separate buffers";
                    inPlace = cipher;
                    EXPECT_EQ(d->decryptBlocks(inPlace.data(), bits, inPlace.data()), 128 * blocks);
                    EXPECT_EQ(inPlace, plain) << "in place";
                }
            }
        }
    }
}

// Every block count from 1 to 96, three times the widest step any path takes
// (eight zmm, 32 blocks), so that each number of whole steps meets each tail,
// through the directions that work on several blocks at once. A prefix of an
// ECB, CBC or CFB-1 message encrypts to the prefix of its ciphertext, so one
// OpenSSL call per mode and key size judges every count. The separate output
// starts one byte off the input's alignment; the block after the data must
// keep its bytes.
TEST_P(AesVersusOpenSsl, EveryBlockCountUpToThreeWideStepsMatches) {
    constexpr int MaxBlocks = 96;
    std::mt19937 rng(96);
    const std::pair<CipherMode, bool> parallel[] = {{ECB, false}, {ECB, true}, {CBC, true}, {CFB1, true}};
    for (const auto& [mode, decrypt] : parallel) {
        for (int keySize : AllKeySizes) {
            const Bytes key = randomBytes(rng, keyLength(keySize));
            const Bytes iv = randomBytes(rng, 16);
            const Bytes plain = randomBytes(rng, 16 * MaxBlocks);
            const Bytes cipher = openssl(mode, keySize, true, key, iv, plain, false);
            const Bytes& from = decrypt ? cipher : plain;
            const Bytes& to = decrypt ? plain : cipher;
            AesCipher context;
            ASSERT_EQ(context.setup(mode, decrypt ? Decrypt : Encrypt, key.data(), keySize, iv.data()), Ok);
            auto run = [&](const std::uint8_t* in, int bits, std::uint8_t* out) {
                return decrypt ? context.decryptBlocks(in, bits, out) : context.encryptBlocks(in, bits, out);
            };
            for (int blocks = 1; blocks <= MaxBlocks; ++blocks) {
                SCOPED_TRACE(std::string(ModeNames[mode]) + (decrypt ? " decrypt" : " encrypt") + " keySize " +
                             std::to_string(keySize) + " blocks " + std::to_string(blocks));
                const auto used = static_cast<std::ptrdiff_t>(16 * blocks);
                Bytes expected(to.begin(), to.begin() + used);
                expected.resize(expected.size() + 16, 0xEE);

                Bytes out(1 + expected.size(), 0xEE);
                EXPECT_EQ(run(from.data(), 128 * blocks, out.data() + 1), 128 * blocks);
                EXPECT_EQ(Bytes(out.begin() + 1, out.end()), expected) << "separate buffers";
                Bytes inPlace(from.begin(), from.begin() + used);
                inPlace.resize(expected.size(), 0xEE);
                EXPECT_EQ(run(inPlace.data(), 128 * blocks, inPlace.data()), 128 * blocks);
                EXPECT_EQ(inPlace, expected) << "in place";
            }
        }
    }
}

TEST_P(AesVersusOpenSsl, PaddedOperationsMatchPkcs7) {
    std::mt19937 rng(7);
    for (int mode : {ECB, CBC}) {
        for (int keySize : AllKeySizes) {
            for (int length : {1, 5, 15, 16, 17, 31, 32, 33, 64, 100, 129, 255}) {
                const auto m = static_cast<CipherMode>(mode);
                SCOPED_TRACE(std::string(ModeNames[mode]) + " keySize " + std::to_string(keySize) + " length " +
                             std::to_string(length));
                const Bytes key = randomBytes(rng, keyLength(keySize));
                const Bytes iv = randomBytes(rng, 16);
                const Bytes plain = randomBytes(rng, static_cast<std::size_t>(length));
                const Bytes expected = openssl(m, keySize, true, key, iv, plain, true);
                const int padded = 16 * (length / 16 + 1);
                ASSERT_EQ(expected.size(), static_cast<std::size_t>(padded));

                AesCipher encryptor, decryptor;
                ASSERT_EQ(encryptor.setup(mode, Encrypt, key.data(), keySize, iv.data()), Ok);
                ASSERT_EQ(decryptor.setup(mode, Decrypt, key.data(), keySize, iv.data()), Ok);

                Bytes out(static_cast<std::size_t>(padded), 0);
                EXPECT_EQ(encryptor.encryptPadded(plain.data(), length, out.data()), padded);
                EXPECT_EQ(out, expected) << "separate buffers";
                Bytes buffer = plain;
                buffer.resize(static_cast<std::size_t>(padded), 0xEE);
                EXPECT_EQ(encryptor.encryptPadded(buffer.data(), length, buffer.data()), padded);
                EXPECT_EQ(buffer, expected) << "in place";

                Bytes back(static_cast<std::size_t>(padded), 0);
                EXPECT_EQ(decryptor.decryptPadded(expected.data(), padded, back.data()), length);
                EXPECT_EQ(Bytes(back.begin(), back.begin() + length), plain) << "separate buffers";
                buffer = expected;
                EXPECT_EQ(decryptor.decryptPadded(buffer.data(), padded, buffer.data()), length);
                EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length), plain) << "in place";
            }
        }
    }
}

IPVEIL_FOR_EACH_IMPLEMENTATION(AesVersusOpenSsl);

}  // namespace
}  // namespace ipveil::aes_test
