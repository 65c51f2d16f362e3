// Uses the installed headers and libraries the way a downstream project would.
#include <ipveil/aes_cipher.h>
#include <ipveil/ipv6_address.h>
#include <ipveil/prefix_anonymizer.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#ifdef IPVEIL_README_SNIPPET
ipveil::PrefixAnonymizer anonymizerFromKeyFile(const std::string& path);

// consumer KEY_FILE ADDRESS IMAGE: the README's anonymizerFromKeyFile on the
// key file maps ADDRESS to IMAGE, as the installed ipveil does.
static int checkKeyFile(const char* path, const char* address, const char* image) {
    unsigned a[4], b[4];
    if (std::sscanf(address, "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]) != 4) return 6;
    if (std::sscanf(image, "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]) != 4) return 6;
    const std::uint32_t original = a[0] << 24 | a[1] << 16 | a[2] << 8 | a[3];
    const std::uint32_t expected = b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3];
    return anonymizerFromKeyFile(path).anonymize(original) == expected ? 0 : 7;
}
#endif

int main(int argc, char** argv) {
#ifdef IPVEIL_README_SNIPPET
    if (argc == 4) {
        const int status = checkKeyFile(argv[1], argv[2], argv[3]);
        if (status != 0) return status;
    }
#else
    (void)argc;
    (void)argv;
#endif
    std::uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const ipveil::PrefixAnonymizer anonymizer(key);
    const std::uint32_t address = 0x0A000001u;
    if (anonymizer.deanonymize(anonymizer.anonymize(address)) != address) return 1;

    ipveil::AesCipher encrypt;
    ipveil::AesCipher decrypt;
    encrypt.setup(ipveil::CBC, ipveil::Encrypt, key, ipveil::Bits256, key);
    decrypt.setup(ipveil::CBC, ipveil::Decrypt, key, ipveil::Bits256, key);
    const char message[] = "consumer";
    std::uint8_t sealed[16];
    std::uint8_t opened[16];
    if (encrypt.encryptPadded(reinterpret_cast<const std::uint8_t*>(message), 8, sealed) != 16) return 2;
    if (decrypt.decryptPadded(sealed, 16, opened) != 8 || std::memcmp(opened, message, 8) != 0) return 3;

    const char text[] = "2001:DB8:0:0:1::0A";
    ipveil::Ipv6Address parsed;
    if (!ipveil::parseIpv6Address(text, text + sizeof text - 1, parsed)) return 4;
    char printed[ipveil::Ipv6MaxTextChars];
    const char* end = ipveil::formatIpv6Address(printed, parsed);
    if (std::string_view(printed, static_cast<std::size_t>(end - printed)) != "2001:db8::1:0:0:a") return 5;
    std::puts("ok");
    return 0;
}
