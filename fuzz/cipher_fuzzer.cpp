// Fuzzes AesCipher with random sequences of set-ups and operations: random
// modes, directions and key sizes (valid or not), lengths, absent pointers,
// separate buffers and in place. Checks that every block implementation the
// machine has gives the same statuses and bytes, that decryption undoes
// encryption, and -- through AddressSanitizer and buffers sized exactly as
// the contract allows -- that no call reads or writes outside its buffers.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "aes_cipher.h"

namespace {

using ipveil::AesCipher;
using ipveil::AesImplementation;

// A heap buffer of exactly n bytes, so that AddressSanitizer flags any access
// past its end; nullptr for n == 0.
struct Buffer {
    explicit Buffer(std::size_t n) : size(n), bytes(n ? new std::uint8_t[n] : nullptr) {}
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> bytes;
};

std::vector<AesImplementation> availableImplementations() {
    std::vector<AesImplementation> found;
    for (auto implementation : ipveil::AllAesImplementations) {
        if (ipveil::aesImplementationAvailable(implementation)) found.push_back(implementation);
    }
    return found;
}

enum class Operation { EncryptBlocks, DecryptBlocks, EncryptPadded, DecryptPadded };

// Bytes an operation may read from input, and may write to output, for a length.
std::size_t inputBytes(Operation op, int length) {
    if (length <= 0) return 0;
    if (op == Operation::EncryptBlocks || op == Operation::DecryptBlocks) return static_cast<std::size_t>(length / 128) * 16;
    return static_cast<std::size_t>(length);
}

std::size_t outputBytes(Operation op, int length) {
    if (length <= 0) return 0;
    if (op == Operation::EncryptPadded) return static_cast<std::size_t>(length / 16 + 1) * 16;
    return inputBytes(op, length);
}

int run(const AesCipher& cipher, Operation op, const std::uint8_t* in, int length, std::uint8_t* out) {
    switch (op) {
        case Operation::EncryptBlocks: return cipher.encryptBlocks(in, length, out);
        case Operation::DecryptBlocks: return cipher.decryptBlocks(in, length, out);
        case Operation::EncryptPadded: return cipher.encryptPadded(in, length, out);
        case Operation::DecryptPadded: return cipher.decryptPadded(in, length, out);
    }
    return 0;
}

struct Outcome {
    int status;
    std::vector<std::uint8_t> output;
};

// One operation on fresh, exactly sized buffers under the active implementation.
Outcome runOnce(const AesCipher& cipher, Operation op, const std::vector<std::uint8_t>& data, int length,
                bool inPlace, bool nullInput, bool nullOutput) {
    const std::size_t need = outputBytes(op, length);
    if (inPlace) {
        Buffer buffer(std::max(need, data.size()));
        std::copy(data.begin(), data.end(), buffer.bytes.get());
        std::uint8_t* p = nullInput || nullOutput ? nullptr : buffer.bytes.get();
        const int status = run(cipher, op, p, length, p);
        return {status, std::vector<std::uint8_t>(buffer.bytes.get(), buffer.bytes.get() + std::min(need, buffer.size))};
    }
    Buffer input(data.size());
    std::copy(data.begin(), data.end(), input.bytes.get());
    Buffer output(need);
    if (need) std::memset(output.bytes.get(), 0xA5, need);
    const int status = run(cipher, op, nullInput ? nullptr : input.bytes.get(), length,
                           nullOutput ? nullptr : output.bytes.get());
    return {status, std::vector<std::uint8_t>(output.bytes.get(), output.bytes.get() + need)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<AesImplementation> implementations = availableImplementations();
    FuzzedDataProvider provider(data, size);

    AesCipher encrypt;
    AesCipher decrypt;
    while (provider.remaining_bytes() > 0) {
        if (provider.ConsumeBool()) {
            // A set-up pair with the same arguments, valid or not.
            const int mode = provider.ConsumeIntegralInRange(-1, 3);
            const int keySize = provider.ConsumeIntegralInRange(-1, 3);
            const bool withKey = provider.ConsumeProbability<float>() < 0.95f;
            const bool withIv = provider.ConsumeBool();
            const auto key = provider.ConsumeBytes<std::uint8_t>(32);
            const auto iv = provider.ConsumeBytes<std::uint8_t>(16);
            Buffer keyBuffer(32);
            Buffer ivBuffer(16);
            std::memset(keyBuffer.bytes.get(), 0, 32);
            std::memset(ivBuffer.bytes.get(), 0, 16);
            std::copy(key.begin(), key.end(), keyBuffer.bytes.get());
            std::copy(iv.begin(), iv.end(), ivBuffer.bytes.get());
            const std::uint8_t* keyPointer = withKey ? keyBuffer.bytes.get() : nullptr;
            const std::uint8_t* ivPointer = withIv ? ivBuffer.bytes.get() : nullptr;
            const int first = encrypt.setup(mode, ipveil::Encrypt, keyPointer, keySize, ivPointer);
            const int second = decrypt.setup(mode, ipveil::Decrypt, keyPointer, keySize, ivPointer);
            if (first != second) std::abort();
            continue;
        }

        const auto op = static_cast<Operation>(provider.ConsumeIntegralInRange(0, 3));
        const bool blockOp = op == Operation::EncryptBlocks || op == Operation::DecryptBlocks;
        const int length = blockOp ? provider.ConsumeIntegralInRange(-130, 80 * 128 + 127)
                                   : provider.ConsumeIntegralInRange(-20, 1300);
        const bool useDecryptContext = provider.ConsumeBool();
        const bool inPlace = provider.ConsumeBool();
        const bool nullInput = provider.ConsumeProbability<float>() < 0.05f;
        const bool nullOutput = provider.ConsumeProbability<float>() < 0.05f;
        std::vector<std::uint8_t> message = provider.ConsumeBytes<std::uint8_t>(inputBytes(op, length));
        message.resize(inputBytes(op, length), 0x3C);
        const AesCipher& cipher = useDecryptContext ? decrypt : encrypt;

        // Every implementation must agree, byte for byte and status for status.
        Outcome first{};
        for (std::size_t i = 0; i < implementations.size(); ++i) {
            ipveil::selectAesImplementation(implementations[i]);
            Outcome outcome = runOnce(cipher, op, message, length, inPlace, nullInput, nullOutput);
            if (i == 0) {
                first = std::move(outcome);
            } else if (outcome.status != first.status || outcome.output != first.output) {
                std::abort();
            }
        }
        ipveil::selectAesImplementation(implementations.front());

        // Whatever was encrypted must decrypt back, in the same mode and key.
        if (!useDecryptContext && first.status > 0 && encrypt.cipherMode() != ipveil::CFB1 &&
            decrypt.cipherState() == ipveil::Ready) {
            if (op == Operation::EncryptBlocks) {
                Outcome back = runOnce(decrypt, Operation::DecryptBlocks, first.output, length, false, false, false);
                if (back.status != first.status || back.output != message) std::abort();
            } else if (op == Operation::EncryptPadded) {
                Outcome back =
                    runOnce(decrypt, Operation::DecryptPadded, first.output, first.status, inPlace, false, false);
                if (back.status != length || !std::equal(message.begin(), message.end(), back.output.begin())) {
                    std::abort();
                }
            }
        }
        // CFB-1 runs the forward cipher both ways: either context decrypts.
        if (!useDecryptContext && first.status > 0 && encrypt.cipherMode() == ipveil::CFB1 &&
            op == Operation::EncryptBlocks) {
            Outcome back = runOnce(decrypt, Operation::DecryptBlocks, first.output, length, inPlace, false, false);
            Outcome again = runOnce(encrypt, Operation::DecryptBlocks, first.output, length, false, false, false);
            if (back.output != message || again.output != message) std::abort();
        }
    }
    return 0;
}
