// AesCipher: a self-contained AES cipher context (FIPS-197) with 128-, 192- and
// 256-bit keys, the modes ECB, CBC and CFB-1 (NIST SP 800-38A), and ECB and
// CBC with padding for messages of any byte length.
//
// The context is a plain value: fixed-size arrays, no virtual functions, no
// heap, no exceptions. Every operation reports through its integer result: a
// non-negative count on success (bits for the block operations, bytes for the
// padded ones), 0 when handed no data or less than one whole block, and a
// negative CipherStatus on failure. No data operation changes the context, so
// every call starts its chain afresh from the stored initialisation vector.
//
// Block implementations. The blocks are transformed by one of four code
// paths chosen once per process from what the CPU offers: VAES on 512-bit
// registers (four blocks each, where the CPU has AVX-512 and the OS saves its
// registers), VAES on 256-bit registers (two blocks each), AES-NI, or the
// portable table-driven transform that is always compiled. The hardware paths run in constant time. The table path
// indexes memory with key- and data-dependent bytes, so it can leak timing
// through the cache; it is used only where the CPU has no AES instructions.
// All paths read the same round-key layout and give identical results.
#pragma once

#include <cstdint>

namespace ipveil {

// Numeric values are part of the interface: setup() takes them as plain ints.
enum CipherMode : std::int32_t { ECB = 0, CBC = 1, CFB1 = 2 };
enum CipherDirection : std::int32_t { Encrypt = 0, Decrypt = 1 };
enum KeySize : std::int32_t { Bits128 = 0, Bits192 = 1, Bits256 = 2 };
enum CipherState : std::int32_t { Ready = 0, NotReady = 1 };

enum CipherStatus : std::int32_t {
    Ok = 0,
    ModeNotSupported = -1,       // set-up with an unknown mode; an operation the mode lacks
    DirectionNotSupported = -2,  // set-up with an unknown direction
    KeySizeNotSupported = -3,    // set-up with an unknown key size
    KeyMissing = -4,             // set-up without a key
    NotSetUp = -5,               // operation on a context not Ready; encryptPadded on a Decrypt context
    WrongDirection = -6,         // operation the context's direction does not allow
    BadPadding = -7,             // padded decryption meeting a bad length or pad
    LengthTooLarge = -8,         // encryptPadded: the padded length would not fit in an int
};

// The block implementations a process can run, slowest first.
enum class AesImplementation { Portable, AesNi, Vaes, Vaes512 };
inline constexpr AesImplementation AllAesImplementations[] = {AesImplementation::Portable, AesImplementation::AesNi,
                                                              AesImplementation::Vaes, AesImplementation::Vaes512};

// Whether this build and this CPU can run `implementation`.
bool aesImplementationAvailable(AesImplementation implementation) noexcept;

// Makes every context of the process use `implementation` from now on, if it
// is available; returns whether it is. By default the fastest available one is
// used. Meant for tests and benchmarks; not to be called while another thread
// is using a cipher.
bool selectAesImplementation(AesImplementation implementation) noexcept;

// The implementation in use, and its name ("portable", "aes-ni", "vaes",
// "vaes512").
AesImplementation activeAesImplementation() noexcept;
const char* aesImplementationName(AesImplementation implementation) noexcept;

class AesCipher {
public:
    static constexpr int BlockBytes = 16;
    static constexpr int MaxRounds = 14;

    AesCipher() noexcept = default;

    // Sets the context up; any earlier set-up is replaced. mode, direction and
    // keySize take the enumeration values above and refuse anything else. key
    // points to 16, 24 or 32 bytes; initVector to 16 bytes, or is null for an
    // all-zero vector. On failure the state is NotReady.
    int setup(int mode, int direction, const std::uint8_t* key, int keySize,
              const std::uint8_t* initVector = nullptr) noexcept;

    // Encrypts or decrypts inputBits / 128 whole blocks (inputBits counts
    // bits; a partial last block is ignored) and returns the number of bits
    // processed. output needs 16 bytes per whole block. input and output may
    // be the same buffer, but must not overlap otherwise. In CFB-1 mode both
    // directions are allowed for decryptBlocks, which runs the forward cipher.
    int encryptBlocks(const std::uint8_t* input, int inputBits, std::uint8_t* output) const noexcept;
    int decryptBlocks(const std::uint8_t* input, int inputBits, std::uint8_t* output) const noexcept;

    // ECB and CBC with padding: inputBytes counts bytes. encryptPadded appends
    // n bytes of value n (1 to 16) and returns 16 * (inputBytes / 16 + 1), the
    // bytes written; output needs that much room. decryptPadded needs a multiple
    // of 16 bytes, checks and strips the padding, and returns the plaintext
    // length; output needs inputBytes bytes. On BadPadding the whole blocks
    // before the last one have already been written. Input and output may be
    // the same buffer.
    int encryptPadded(const std::uint8_t* input, int inputBytes, std::uint8_t* output) const noexcept;
    int decryptPadded(const std::uint8_t* input, int inputBytes, std::uint8_t* output) const noexcept;

    // Read-only views of the context, for callers that inspect a set-up.
    CipherState cipherState() const noexcept { return state; }
    CipherMode cipherMode() const noexcept { return mode; }
    CipherDirection cipherDirection() const noexcept { return direction; }
    const std::uint8_t* initialVector() const noexcept { return initVector; }
    std::uint32_t roundCount() const noexcept { return rounds; }
    // Round key r (0 to roundCount()) as 16 bytes, columns in order.
    const std::uint8_t* roundKey(int r) const noexcept { return roundKeys[r][0]; }

private:
    void expandKey(const std::uint8_t (&keyMatrix)[8][4]) noexcept;
    void invertRoundKeys() noexcept;
    // One block by table lookup; in and out may be the same block.
    void encryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept;
    void decryptBlock(const std::uint8_t* in, std::uint8_t* out) const noexcept;

    CipherState state = NotReady;
    CipherMode mode = ECB;
    CipherDirection direction = Encrypt;
    std::uint8_t initVector[16] = {};
    std::uint32_t rounds = 0;
    std::uint8_t roundKeys[MaxRounds + 1][4][4] = {};
};

}  // namespace ipveil
