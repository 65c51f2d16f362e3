// Status codes and the order of the checks behind them, the key schedule of
// a Decrypt context, the padding layout, bad padding, and that every call
// starts its chain afresh from the context's vector.
#include <algorithm>
#include <climits>

#include "aes_test_support.h"

namespace ipveil::aes_test {
namespace {

const Bytes Key = fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
const Bytes PriorIv(16, 0xA5);
const Bytes NewIv(16, 0x3C);
const Bytes ZeroIv(16, 0);

enum class IvAfter { Prior, New, Zero };
using enum IvAfter;
constexpr int MessageBytes = 20;  // for the padded operations; 32 bytes once padded

// setup() on a context already set up as CFB1 / Decrypt / 256 bits with
// PriorIv, then each data operation with valid arguments. A failed set-up
// stores what it had checked before failing, and nothing after.
struct SetupCase {
    const char* name;
    int mode, direction, keySize;
    bool withKey, withIv;
    int setupResult;
    CipherMode modeAfter;
    CipherDirection directionAfter;
    IvAfter ivAfter;
    std::uint32_t roundsAfter;
    int encryptBlocks, decryptBlocks, encryptPadded, decryptPadded;
};

constexpr SetupCase SetupCases[] = {
    {"unknown mode", 3, Encrypt, Bits128, true, true, ModeNotSupported, CFB1, Decrypt, Prior, 14, -5, -5, -5, -5},
    {"negative mode", -1, Encrypt, Bits128, true, true, ModeNotSupported, CFB1, Decrypt, Prior, 14, -5, -5, -5, -5},
    {"mode before all else", 3, 2, 3, false, true, ModeNotSupported, CFB1, Decrypt, Prior, 14, -5, -5, -5, -5},
    {"unknown direction", ECB, 2, Bits128, true, true, DirectionNotSupported, ECB, Decrypt, Prior, 14, -5, -5, -5, -5},
    {"direction before key", ECB, -1, 3, false, true, DirectionNotSupported, ECB, Decrypt, Prior, 14, -5, -5, -5, -5},
    {"unknown key size", ECB, Encrypt, 3, true, true, KeySizeNotSupported, ECB, Encrypt, New, 14, -5, -5, -5, -5},
    {"negative key size", CBC, Encrypt, -1, true, true, KeySizeNotSupported, CBC, Encrypt, New, 14, -5, -5, -5, -5},
    {"key size before key", ECB, Encrypt, 3, false, true, KeySizeNotSupported, ECB, Encrypt, New, 14, -5, -5, -5, -5},
    {"no key", CBC, Encrypt, Bits128, false, true, KeyMissing, CBC, Encrypt, New, 10, -5, -5, -5, -5},
    {"no key, no vector", ECB, Encrypt, Bits192, false, false, KeyMissing, ECB, Encrypt, Zero, 12, -5, -5, -5, -5},
    {"ECB encrypt", ECB, Encrypt, Bits128, true, true, Ok, ECB, Encrypt, New, 10, 256, -6, 32, -6},
    {"ECB decrypt", ECB, Decrypt, Bits192, true, false, Ok, ECB, Decrypt, Zero, 12, -6, 256, -5, MessageBytes},
    {"CBC encrypt", CBC, Encrypt, Bits256, true, true, Ok, CBC, Encrypt, New, 14, 256, -6, 32, -6},
    {"CBC decrypt", CBC, Decrypt, Bits128, true, true, Ok, CBC, Decrypt, New, 10, -6, 256, -5, MessageBytes},
    {"CFB1 encrypt", CFB1, Encrypt, Bits192, true, true, Ok, CFB1, Encrypt, New, 12, 256, 256, -1, -6},
    {"CFB1 decrypt", CFB1, Decrypt, Bits256, true, true, Ok, CFB1, Decrypt, New, 14, -6, 256, -5, -1},
};

TEST(AesStatus, SetupChecksInOrderAndGatesEveryOperation) {
    for (const auto& c : SetupCases) {
        SCOPED_TRACE(c.name);
        AesCipher cipher;
        ASSERT_EQ(cipher.setup(CFB1, Decrypt, Key.data(), Bits256, PriorIv.data()), Ok);
        EXPECT_EQ(cipher.setup(c.mode, c.direction, c.withKey ? Key.data() : nullptr, c.keySize,
                               c.withIv ? NewIv.data() : nullptr),
                  c.setupResult);
        EXPECT_EQ(cipher.cipherState(), c.setupResult == Ok ? Ready : NotReady);
        EXPECT_EQ(cipher.cipherMode(), c.modeAfter);
        EXPECT_EQ(cipher.cipherDirection(), c.directionAfter);
        const Bytes& iv = c.ivAfter == Prior ? PriorIv : c.ivAfter == New ? NewIv : ZeroIv;
        EXPECT_EQ(Bytes(cipher.initialVector(), cipher.initialVector() + 16), iv);
        EXPECT_EQ(cipher.roundCount(), c.roundsAfter);

        // A valid padded ciphertext for this key, mode and vector, where the
        // mode has padding; the operations that must refuse never read it.
        Bytes message(32, 0x5A);  // the padded operations read its first MessageBytes
        Bytes padded(32, 0);
        AesCipher companion;
        if (c.mode == ECB || c.mode == CBC) {
            ASSERT_EQ(companion.setup(c.mode, Encrypt, Key.data(), c.keySize >= 0 && c.keySize <= 2 ? c.keySize : 0,
                                      c.withIv ? NewIv.data() : nullptr),
                      Ok);
            ASSERT_EQ(companion.encryptPadded(message.data(), MessageBytes, padded.data()), 32);
        }
        Bytes out(32, 0);
        EXPECT_EQ(cipher.encryptBlocks(message.data(), 256, out.data()), c.encryptBlocks);
        EXPECT_EQ(cipher.decryptBlocks(padded.data(), 256, out.data()), c.decryptBlocks);
        EXPECT_EQ(cipher.encryptPadded(message.data(), MessageBytes, out.data()), c.encryptPadded);
        EXPECT_EQ(cipher.decryptPadded(padded.data(), 32, out.data()), c.decryptPadded);
    }

    // A context never set up refuses everything too.
    const AesCipher fresh;
    Bytes data(32, 0);
    EXPECT_EQ(fresh.cipherState(), NotReady);
    EXPECT_EQ(fresh.encryptBlocks(data.data(), 256, data.data()), NotSetUp);
    EXPECT_EQ(fresh.decryptBlocks(data.data(), 256, data.data()), NotSetUp);
    EXPECT_EQ(fresh.encryptPadded(data.data(), 16, data.data()), NotSetUp);
    EXPECT_EQ(fresh.decryptPadded(data.data(), 32, data.data()), NotSetUp);
}

// Arguments checked after the state and direction: null buffers, lengths that
// are not positive or not enough, and lengths too large to pad. The output
// buffer is watched for bytes written past what the result reports.
enum class Op { EncryptBlocks, DecryptBlocks, EncryptPadded, DecryptPadded };
enum class Context { Unset, EcbEncrypt, EcbDecrypt, CbcEncrypt, CbcDecrypt, Cfb1Encrypt, Cfb1Decrypt };
using enum Op;
using enum Context;

struct ArgumentCase {
    const char* name;
    Op op;
    Context context;
    bool nullInput, nullOutput;
    int length;
    int expected;
};

constexpr int HugeLength = 2147483632;  // 16 * (n / 16 + 1) would pass INT_MAX

constexpr ArgumentCase ArgumentCases[] = {
    {"encryptBlocks: state before null input", EncryptBlocks, Unset, true, false, 256, NotSetUp},
    {"encryptBlocks: direction before null input", EncryptBlocks, EcbDecrypt, true, false, 256, WrongDirection},
    {"encryptBlocks: CFB1 Decrypt context", EncryptBlocks, Cfb1Decrypt, false, false, 256, WrongDirection},
    {"encryptBlocks: null input", EncryptBlocks, EcbEncrypt, true, false, 256, 0},
    {"encryptBlocks: null output", EncryptBlocks, CbcEncrypt, false, true, 256, 0},
    {"encryptBlocks: zero bits", EncryptBlocks, EcbEncrypt, false, false, 0, 0},
    {"encryptBlocks: negative bits", EncryptBlocks, Cfb1Encrypt, false, false, -128, 0},
    {"encryptBlocks: under a block", EncryptBlocks, CbcEncrypt, false, false, 100, 0},
    {"encryptBlocks: partial second block", EncryptBlocks, Cfb1Encrypt, false, false, 200, 128},
    {"decryptBlocks: state before null input", DecryptBlocks, Unset, true, false, 256, NotSetUp},
    {"decryptBlocks: ECB Encrypt context", DecryptBlocks, EcbEncrypt, true, false, 256, WrongDirection},
    {"decryptBlocks: CBC Encrypt context", DecryptBlocks, CbcEncrypt, false, false, 256, WrongDirection},
    {"decryptBlocks: null input", DecryptBlocks, EcbDecrypt, true, false, 256, 0},
    {"decryptBlocks: null output", DecryptBlocks, Cfb1Encrypt, false, true, 256, 0},
    {"decryptBlocks: zero bits", DecryptBlocks, CbcDecrypt, false, false, 0, 0},
    {"decryptBlocks: negative bits", DecryptBlocks, EcbDecrypt, false, false, -1, 0},
    {"decryptBlocks: under a block", DecryptBlocks, Cfb1Decrypt, false, false, 100, 0},
    {"decryptBlocks: partial second block", DecryptBlocks, CbcDecrypt, false, false, 200, 128},
    {"encryptPadded: state before null input", EncryptPadded, Unset, true, false, 20, NotSetUp},
    {"encryptPadded: Decrypt context", EncryptPadded, EcbDecrypt, true, false, 20, NotSetUp},
    {"encryptPadded: null input", EncryptPadded, EcbEncrypt, true, false, 20, 0},
    {"encryptPadded: null output", EncryptPadded, CbcEncrypt, false, true, 20, 0},
    {"encryptPadded: zero bytes", EncryptPadded, EcbEncrypt, false, false, 0, 0},
    {"encryptPadded: negative bytes", EncryptPadded, CbcEncrypt, false, false, -5, 0},
    {"encryptPadded: null before too large", EncryptPadded, EcbEncrypt, true, false, INT_MAX, 0},
    {"encryptPadded: largest refused", EncryptPadded, EcbEncrypt, false, false, HugeLength, LengthTooLarge},
    {"encryptPadded: INT_MAX", EncryptPadded, CbcEncrypt, false, false, INT_MAX, LengthTooLarge},
    {"encryptPadded: CFB1", EncryptPadded, Cfb1Encrypt, false, false, 20, ModeNotSupported},
    {"decryptPadded: state before null input", DecryptPadded, Unset, true, false, 32, NotSetUp},
    {"decryptPadded: Encrypt context", DecryptPadded, CbcEncrypt, true, false, 32, WrongDirection},
    {"decryptPadded: null input", DecryptPadded, EcbDecrypt, true, false, 32, 0},
    {"decryptPadded: null output", DecryptPadded, CbcDecrypt, false, true, 32, 0},
    {"decryptPadded: zero bytes", DecryptPadded, EcbDecrypt, false, false, 0, 0},
    {"decryptPadded: negative bytes", DecryptPadded, CbcDecrypt, false, false, -16, 0},
    {"decryptPadded: 15 bytes", DecryptPadded, EcbDecrypt, false, false, 15, BadPadding},
    {"decryptPadded: 17 bytes", DecryptPadded, CbcDecrypt, false, false, 17, BadPadding},
    {"decryptPadded: CFB1 length checked first", DecryptPadded, Cfb1Decrypt, false, false, 17, BadPadding},
    {"decryptPadded: CFB1", DecryptPadded, Cfb1Decrypt, false, false, 32, ModeNotSupported},
};

TEST(AesStatus, ArgumentChecks) {
    for (const auto& c : ArgumentCases) {
        SCOPED_TRACE(c.name);
        AesCipher cipher;
        switch (c.context) {
            case Context::Unset: break;
            case Context::EcbEncrypt: ASSERT_EQ(cipher.setup(ECB, Encrypt, Key.data(), Bits128), Ok); break;
            case Context::EcbDecrypt: ASSERT_EQ(cipher.setup(ECB, Decrypt, Key.data(), Bits128), Ok); break;
            case Context::CbcEncrypt: ASSERT_EQ(cipher.setup(CBC, Encrypt, Key.data(), Bits192), Ok); break;
            case Context::CbcDecrypt: ASSERT_EQ(cipher.setup(CBC, Decrypt, Key.data(), Bits192), Ok); break;
            case Context::Cfb1Encrypt: ASSERT_EQ(cipher.setup(CFB1, Encrypt, Key.data(), Bits256), Ok); break;
            case Context::Cfb1Decrypt: ASSERT_EQ(cipher.setup(CFB1, Decrypt, Key.data(), Bits256), Ok); break;
        }
        // Small buffers even for the huge lengths: those calls must not touch them.
        Bytes input(64, 0x11);
        Bytes output(64, 0xEE);
        const std::uint8_t* in = c.nullInput ? nullptr : input.data();
        std::uint8_t* out = c.nullOutput ? nullptr : output.data();
        int result = 0;
        int written = 0;
        switch (c.op) {
            case Op::EncryptBlocks:
                result = cipher.encryptBlocks(in, c.length, out);
                written = result / 8;
                break;
            case Op::DecryptBlocks:
                result = cipher.decryptBlocks(in, c.length, out);
                written = result / 8;
                break;
            case Op::EncryptPadded:
                result = cipher.encryptPadded(in, c.length, out);
                written = result;
                break;
            case Op::DecryptPadded:
                result = cipher.decryptPadded(in, c.length, out);
                written = result;
                break;
        }
        EXPECT_EQ(result, c.expected);
        written = std::max(written, 0);
        EXPECT_EQ(Bytes(output.begin() + written, output.end()),
                  Bytes(output.size() - static_cast<std::size_t>(written), 0xEE))
            << "bytes written past the reported result";
    }
}

// InvMixColumns on one 4-byte column, from the field arithmetic rather than
// the library's tables.
std::uint8_t times(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) product ^= a;
        a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
    }
    return product;
}

Bytes invMixColumns(const std::uint8_t* roundKey) {
    static constexpr std::uint8_t Row[4] = {0x0E, 0x0B, 0x0D, 0x09};
    Bytes out(16);
    for (int column = 0; column < 4; ++column) {
        const std::uint8_t* s = roundKey + 4 * column;
        for (int row = 0; row < 4; ++row) {
            std::uint8_t v = 0;
            for (int k = 0; k < 4; ++k) v ^= times(s[k], Row[(k - row + 4) % 4]);
            out[static_cast<std::size_t>(4 * column + row)] = v;
        }
    }
    return out;
}

TEST(AesStatus, DecryptScheduleIsTheEquivalentInverseCipher) {
    std::mt19937 rng(42);
    for (int keySize : AllKeySizes) {
        SCOPED_TRACE("keySize " + std::to_string(keySize));
        const Bytes key = randomBytes(rng, keyLength(keySize));
        auto roundKeys = [&](int mode, int direction) {
            AesCipher cipher;
            EXPECT_EQ(cipher.setup(mode, direction, key.data(), keySize), Ok);
            EXPECT_EQ(cipher.roundCount(), 10u + 2u * static_cast<unsigned>(keySize));
            std::vector<Bytes> keys;
            for (int r = 0; r <= static_cast<int>(cipher.roundCount()); ++r) {
                keys.emplace_back(cipher.roundKey(r), cipher.roundKey(r) + 16);
            }
            return keys;
        };
        const auto forward = roundKeys(ECB, Encrypt);
        // The key itself opens the schedule.
        Bytes opening = forward[0];
        opening.insert(opening.end(), forward[1].begin(), forward[1].end());
        opening.resize(key.size());
        EXPECT_EQ(opening, key);
        EXPECT_EQ(roundKeys(CBC, Encrypt), forward);
        EXPECT_EQ(roundKeys(CFB1, Encrypt), forward);
        EXPECT_EQ(roundKeys(CFB1, Decrypt), forward) << "CFB-1 runs the forward cipher both ways";
        for (int mode : {ECB, CBC}) {
            const auto inverse = roundKeys(mode, Decrypt);
            const std::size_t last = forward.size() - 1;
            EXPECT_EQ(inverse[0], forward[0]);
            EXPECT_EQ(inverse[last], forward[last]);
            for (std::size_t r = 1; r < last; ++r) {
                EXPECT_EQ(inverse[r], invMixColumns(forward[r].data())) << "round " << r;
            }
        }
    }
}

class AesPadding : public PerImplementation {};

// Decrypting without unpadding shows the pad: n bytes of value n after the
// message, a whole block of 0x10 when the message fills its blocks (a 5-byte
// message ends in eleven 0x0B; a 16-byte one gains a block of 0x10).
TEST_P(AesPadding, AppendsPkcs7Pad) {
    for (int mode : {ECB, CBC}) {
        AesCipher encryptor, decryptor;
        ASSERT_EQ(encryptor.setup(mode, Encrypt, Key.data(), Bits128, NewIv.data()), Ok);
        ASSERT_EQ(decryptor.setup(mode, Decrypt, Key.data(), Bits128, NewIv.data()), Ok);
        for (int length = 1; length <= 48; ++length) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " length " + std::to_string(length));
            Bytes message(static_cast<std::size_t>(length));
            for (int i = 0; i < length; ++i) message[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
            const int padded = 16 * (length / 16 + 1);
            Bytes cipher(static_cast<std::size_t>(padded));
            ASSERT_EQ(encryptor.encryptPadded(message.data(), length, cipher.data()), padded);
            Bytes plain(cipher.size());
            ASSERT_EQ(decryptor.decryptBlocks(cipher.data(), 8 * padded, plain.data()), 8 * padded);
            Bytes expected = message;
            expected.resize(static_cast<std::size_t>(padded), static_cast<std::uint8_t>(padded - length));
            EXPECT_EQ(plain, expected);
        }
    }
}

// Bad pads, and the edges of good ones, in a last block of one or three.
TEST_P(AesPadding, RejectsBadPadLeavingEarlierBlocks) {
    struct PadCase {
        const char* name;
        const char* lastBytes;  // hex, written over the end of the last block
        int padLength;          // 0: the pad is bad
    };
    const PadCase cases[] = {
        {"last byte 0", "00", 0},
        {"last byte 17", "11", 0},
        {"last byte 0xFF", "ff", 0},
        {"pad bytes unequal", "030203", 0},
        {"full pad, first byte off", "0f101010101010101010101010101010", 0},
        {"one byte of pad", "0701", 1},
        {"full block of pad", "10101010101010101010101010101010", 16},
    };
    std::mt19937 rng(99);
    for (int mode : {ECB, CBC}) {
        AesCipher encryptor, decryptor;
        ASSERT_EQ(encryptor.setup(mode, Encrypt, Key.data(), Bits256, NewIv.data()), Ok);
        ASSERT_EQ(decryptor.setup(mode, Decrypt, Key.data(), Bits256, NewIv.data()), Ok);
        for (int blocks : {1, 3}) {
            for (const auto& c : cases) {
                SCOPED_TRACE("mode " + std::to_string(mode) + ", " + std::to_string(blocks) + " blocks, " + c.name);
                const int bytes = 16 * blocks;
                Bytes plain = randomBytes(rng, static_cast<std::size_t>(bytes));
                const Bytes last = fromHex(c.lastBytes);
                std::copy(last.begin(), last.end(), plain.end() - static_cast<std::ptrdiff_t>(last.size()));
                Bytes cipher(plain.size());
                ASSERT_EQ(encryptor.encryptBlocks(plain.data(), 8 * bytes, cipher.data()), 8 * bytes);

                const auto earlier = static_cast<std::ptrdiff_t>(bytes - 16);
                Bytes out(plain.size(), 0xEE);
                Bytes inPlace = cipher;
                const int separateResult = decryptor.decryptPadded(cipher.data(), bytes, out.data());
                const int inPlaceResult = decryptor.decryptPadded(inPlace.data(), bytes, inPlace.data());
                if (c.padLength == 0) {
                    EXPECT_EQ(separateResult, BadPadding);
                    EXPECT_EQ(inPlaceResult, BadPadding);
                    // The blocks before the last are out; the last is not written.
                    EXPECT_EQ(Bytes(out.begin(), out.begin() + earlier), Bytes(plain.begin(), plain.begin() + earlier));
                    EXPECT_EQ(Bytes(out.begin() + earlier, out.end()), Bytes(16, 0xEE));
                    EXPECT_EQ(Bytes(inPlace.begin(), inPlace.begin() + earlier),
                              Bytes(plain.begin(), plain.begin() + earlier));
                    EXPECT_EQ(Bytes(inPlace.begin() + earlier, inPlace.end()),
                              Bytes(cipher.begin() + earlier, cipher.end()));
                } else {
                    const int length = bytes - c.padLength;
                    EXPECT_EQ(separateResult, length);
                    EXPECT_EQ(inPlaceResult, length);
                    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), Bytes(plain.begin(), plain.begin() + length));
                    EXPECT_EQ(Bytes(inPlace.begin(), inPlace.begin() + length),
                              Bytes(plain.begin(), plain.begin() + length));
                }
            }
        }
    }
}

IPVEIL_FOR_EACH_IMPLEMENTATION(AesPadding);

class AesChaining : public PerImplementation {};

// No call leaves state behind: a second call over the same data gives the
// same result, and a call over the second half starts again from the vector
// instead of going on from the first half.
TEST_P(AesChaining, EveryCallStartsFromTheVector) {
    std::mt19937 rng(5);
    const Bytes plain = randomBytes(rng, 64);
    for (int mode : {CBC, CFB1}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        AesCipher cipher;
        ASSERT_EQ(cipher.setup(mode, Encrypt, Key.data(), Bits128, NewIv.data()), Ok);
        Bytes whole(64), again(64), firstHalf(32), secondHalf(32);
        ASSERT_EQ(cipher.encryptBlocks(plain.data(), 512, whole.data()), 512);
        ASSERT_EQ(cipher.encryptBlocks(plain.data(), 512, again.data()), 512);
        ASSERT_EQ(cipher.encryptBlocks(plain.data(), 256, firstHalf.data()), 256);
        ASSERT_EQ(cipher.encryptBlocks(plain.data() + 32, 256, secondHalf.data()), 256);
        EXPECT_EQ(again, whole);
        EXPECT_EQ(firstHalf, Bytes(whole.begin(), whole.begin() + 32));
        EXPECT_NE(secondHalf, Bytes(whole.begin() + 32, whole.end()));
        // ...which is exactly the first half's encryption of that data.
        Bytes fresh(32);
        AesCipher other;
        ASSERT_EQ(other.setup(mode, Encrypt, Key.data(), Bits128, NewIv.data()), Ok);
        ASSERT_EQ(other.encryptBlocks(plain.data() + 32, 256, fresh.data()), 256);
        EXPECT_EQ(secondHalf, fresh);
        EXPECT_EQ(Bytes(cipher.initialVector(), cipher.initialVector() + 16), NewIv);
    }
}

IPVEIL_FOR_EACH_IMPLEMENTATION(AesChaining);

}  // namespace
}  // namespace ipveil::aes_test

namespace ipveil {
namespace {

// Without a choice made by hand, every context uses the widest path this
// machine has: 512-bit VAES, then 256-bit VAES, then AES-NI, then the tables.
TEST(AesDispatch, TheWidestAvailablePathIsTheDefault) {
    const AesImplementation active = activeAesImplementation();
    AesImplementation widest = AesImplementation::Portable;
    for (const AesImplementation implementation : AllAesImplementations) {
        if (aesImplementationAvailable(implementation)) widest = implementation;
    }
    EXPECT_EQ(active, widest) << aesImplementationName(active) << " in use, " << aesImplementationName(widest)
                              << " available";
}

}  // namespace
}  // namespace ipveil
