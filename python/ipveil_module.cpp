// The Python module ipveil (imported as ipveil._ipveil, re-exported by the
// package): PrefixAnonymizer over one address (int, str, ipaddress object) or
// many (numpy uint32 and (N, 16) uint8 arrays, sequences of str), and
// ipveil-pcap's MacPermutation over MACs in the same kinds, with the GIL
// released while the AES work runs.
//
// The key never leaves the anonymizer: it is parsed here, from Python objects
// whose types are checked by hand, so that no error message (pybind11's own
// include the arguments' repr) and no repr shows it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "address_policy.h"
#include "ipv4_address.h"
#include "ipv6_address.h"
#include "key_id.h"
#include "mac_permutation.h"
#include "prefix_anonymizer.h"

namespace py = pybind11;

namespace ipveil::python {

namespace {

constexpr std::size_t KeyBytes = PrefixAnonymizer::KeyBytes;
constexpr std::size_t KeyDigits = 2 * KeyBytes;

// Addresses of a sequence of str parsed, mapped and printed per batch, so
// that the GIL is released for the AES work of each batch.
constexpr std::size_t TextBatch = 1024;

class Anonymizer;

// What a call does to what it is given: map originals to images, images back
// to originals, or images under one anonymizer to images under `target`
// (each original recovered into the output and mapped again in place).
struct Direction {
    enum Step { Anonymize, Deanonymize, Rekey };
    Direction(Step step, const Anonymizer* target = nullptr) noexcept : step(step), target(target) {}
    Step step;
    const Anonymizer* target;
};

// What the strings of a sequence, an object array or a pandas column are.
enum class Kind { Address, Mac };

// Wipes the key's copies on the stack when they go out of scope.
struct KeyBuffer {
    std::uint8_t bytes[KeyBytes] = {};
    KeyBuffer() = default;
    KeyBuffer(const KeyBuffer&) = delete;
    KeyBuffer& operator=(const KeyBuffer&) = delete;
    ~KeyBuffer() { explicit_bzero(bytes, sizeof bytes); }
};

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 64 hexadecimal digits into key; otherwise raises ValueError saying
// what is wrong with the text, never what it holds. source names where the
// key came from ("The key", "The key in the key file PATH").
void parseKeyDigits(const char* text, std::size_t length, const std::string& source, KeyBuffer& key) {
    for (std::size_t i = 0; i < length; ++i) {
        if (hexValue(text[i]) < 0) {
            throw py::value_error(source + " must be 64 hexadecimal digits; it holds other characters.");
        }
    }
    if (length != KeyDigits) {
        throw py::value_error(source + " must be 64 hexadecimal digits (32 bytes); it has " + std::to_string(length) +
                              ".");
    }
    for (std::size_t i = 0; i < KeyBytes; ++i) {
        key.bytes[i] = static_cast<std::uint8_t>(hexValue(text[2 * i]) << 4 | hexValue(text[2 * i + 1]));
    }
}

std::string typeName(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// The repr of an offending text for a message, cut short if long.
std::string textForMessage(py::handle text) {
    std::string shown = py::repr(text);
    if (shown.size() > 80) shown = shown.substr(0, 76) + "...'";
    return shown;
}

// Reads a MAC in one of the forms tools print: six pairs of hexadecimal
// digits joined by ':' or all by '-' (00:1a:2b:3c:4d:5e, 00-1A-2B-3C-4D-5E),
// three groups of four joined by '.' (001a.2b3c.4d5e), or twelve digits;
// either case. Into the low 48 bits, first octet most significant.
bool parseMacText(const char* first, const char* last, std::uint64_t& mac) noexcept {
    char separator = 0;
    int groupDigits = 12;
    switch (last - first) {
        case 17:
            separator = first[2];
            if (separator != ':' && separator != '-') return false;
            groupDigits = 2;
            break;
        case 14:
            separator = '.';
            groupDigits = 4;
            break;
        case 12: break;
        default: return false;
    }
    std::uint64_t value = 0;
    int inGroup = 0;
    for (const char* p = first; p != last; ++p) {
        if (inGroup == groupDigits) {
            if (*p != separator) return false;
            inGroup = 0;
            continue;
        }
        const int digit = hexValue(*p);
        if (digit < 0) return false;
        value = value << 4 | static_cast<unsigned>(digit);
        ++inGroup;
    }
    mac = value;
    return true;
}

constexpr std::size_t MacTextChars = 17;

// The one form MACs come back in, whatever form they came in: lower case,
// joined by ':', as tshark and ip(8) print them.
char* formatMacText(char* out, std::uint64_t mac) noexcept {
    static constexpr char Digits[] = "0123456789abcdef";
    for (int i = 0; i < 6; ++i) {
        const auto octet = static_cast<unsigned>(mac >> (40 - 8 * i)) & 0xFF;
        if (i > 0) *out++ = ':';
        *out++ = Digits[octet >> 4];
        *out++ = Digits[octet & 0xF];
    }
    return out;
}

// The ASCII text of a str, or false for a str that is not ASCII (no address
// form is).
bool asciiText(PyObject* text, const char*& first, const char*& last) noexcept {
    if (PyUnicode_READY(text) != 0) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_IS_ASCII(text)) return false;
    first = static_cast<const char*>(PyUnicode_DATA(text));
    last = first + PyUnicode_GET_LENGTH(text);
    return true;
}

// A new str of the ASCII bytes [first, last).
PyObject* newAsciiText(const char* first, const char* last) {
    const auto length = static_cast<Py_ssize_t>(last - first);
    PyObject* text = PyUnicode_New(length, 127);
    if (text == nullptr) throw py::error_already_set();
    std::memcpy(PyUnicode_1BYTE_DATA(text), first, static_cast<std::size_t>(length));
    return text;
}

bool isModuleType(py::handle value, const char* module) {
    const std::string name = py::str(py::type::handle_of(value).attr("__module__"));
    const std::size_t length = std::strlen(module);
    return name.compare(0, length, module) == 0 && (name.size() == length || name[length] == '.');
}

// C-contiguous and aligned: the array's buffer can be read as it is.
bool isPlain(const py::array& array) {
    constexpr int plain =
        static_cast<int>(py::array::c_style) | static_cast<int>(py::detail::npy_api::NPY_ARRAY_ALIGNED_);
    return (array.flags() & plain) == plain;
}

// A policy's refusal quotes the line's words; a long run of hexadecimal
// digits among them is most likely a key given in the policy's place, and is
// left out.
std::string withoutKeyDigits(const std::string& message) {
    constexpr std::size_t Shown = 31;
    std::string text;
    std::size_t run = 0;
    for (std::size_t i = 0; i <= message.size(); ++i) {
        if (i < message.size() && hexValue(message[i]) >= 0) {
            ++run;
            continue;
        }
        text += run > Shown ? std::string("(hexadecimal digits not shown)") : message.substr(i - run, run);
        if (i < message.size()) text += message[i];
        run = 0;
    }
    return text;
}

// The policy text of a call, or none for None.
std::optional<AddressPolicy> parsePolicy(py::handle text) {
    if (text.is_none()) return std::nullopt;
    if (!PyUnicode_Check(text.ptr())) {
        throw py::type_error("A policy is a str of rules, one a line (e.g. \"special\\npreserve 10.0.0.0/8\"), or "
                             "None, not " + typeName(text) + ".");
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &length);
    if (data == nullptr) throw py::error_already_set();
    PolicyError error;
    std::optional<AddressPolicy> policy =
        AddressPolicy::parse(std::string_view(data, static_cast<std::size_t>(length)), error);
    if (!policy) throw py::value_error(withoutKeyDigits("The " + error.text()));
    return policy;
}

class Anonymizer {
public:
    Anonymizer(const KeyBuffer& key, const std::optional<AddressPolicy>& policy, std::string origin)
        : anonymizer(policy ? std::make_unique<PrefixAnonymizer>(key.bytes, *policy)
                            : std::make_unique<PrefixAnonymizer>(key.bytes)),
          macs(std::make_unique<packet::MacPermutation>(key.bytes)),
          policyText(policy ? policy->canonicalText() : std::string()),
          id(keyId(key.bytes, policy ? &*policy : nullptr)),
          origin(std::move(origin)) {
        if (policy && !policy->reversible()) {
            if (policy->truncate4() != 32) truncation += "truncate4 " + std::to_string(policy->truncate4());
            if (policy->truncate6() != 128) {
                truncation += std::string(truncation.empty() ? "" : ", ") + "truncate6 " +
                              std::to_string(policy->truncate6());
            }
        }
    }

    static std::unique_ptr<Anonymizer> fromKey(py::handle key, py::handle policyText) {
        const std::optional<AddressPolicy> policy = parsePolicy(policyText);
        KeyBuffer buffer;
        if (PyUnicode_Check(key.ptr())) {
            const char* first;
            const char* last;
            if (!asciiText(key.ptr(), first, last)) {
                throw py::value_error("The key must be 64 hexadecimal digits; it holds other characters.");
            }
            parseKeyDigits(first, static_cast<std::size_t>(last - first), "The key", buffer);
            return std::make_unique<Anonymizer>(buffer, policy, "a key of 64 hexadecimal digits");
        }
        if (PyBytes_Check(key.ptr()) || PyByteArray_Check(key.ptr()) || PyMemoryView_Check(key.ptr())) {
            Py_buffer view;
            if (PyObject_GetBuffer(key.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
            const auto length = static_cast<std::size_t>(view.len);
            if (length == KeyBytes) std::memcpy(buffer.bytes, view.buf, KeyBytes);
            PyBuffer_Release(&view);
            if (length != KeyBytes) {
                throw py::value_error("A key given as bytes must be 32 bytes long; it has " + std::to_string(length) +
                                      ".");
            }
            return std::make_unique<Anonymizer>(buffer, policy, "a key of 32 bytes");
        }
        throw py::type_error("The key must be bytes (32 of them) or a str of 64 hexadecimal digits, not " +
                             typeName(key) + ".");
    }

    // Reads the key file as the build does (64 digits and at most one line
    // feed) and refuses one that its group or other users have any
    // permission on. The file is opened once and checked through its
    // descriptor, so that what is checked is what is read.
    static std::unique_ptr<Anonymizer> fromKeyFile(py::handle pathObject, py::handle policyText) {
        const std::optional<AddressPolicy> policy = parsePolicy(policyText);
        PyObject* fsPath = PyOS_FSPath(pathObject.ptr());
        if (fsPath == nullptr) throw py::error_already_set();
        const py::object pathText = py::reinterpret_steal<py::object>(fsPath);
        // The path as the messages show it: bytes decoded as the file system does.
        const py::object pathShown = PyBytes_Check(fsPath)
            ? py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fsPath),
                                                                                 PyBytes_GET_SIZE(fsPath)))
            : pathText;
        if (!pathShown) throw py::error_already_set();
        const std::string path = py::str(pathShown);
        std::string encoded;
        if (PyBytes_Check(fsPath)) {
            encoded.assign(PyBytes_AS_STRING(fsPath), static_cast<std::size_t>(PyBytes_GET_SIZE(fsPath)));
        } else {
            PyObject* bytes = PyUnicode_EncodeFSDefault(fsPath);
            if (bytes == nullptr) throw py::error_already_set();
            encoded.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
            Py_DECREF(bytes);
        }
        const std::string source = "The key in the key file " + path;

        // Non-blocking, so that a named pipe is refused rather than waited on.
        const int fd = ::open(encoded.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, pathText.ptr());
            throw py::error_already_set();
        }
        struct Closer {
            int fd;
            ~Closer() { ::close(fd); }
        } closer{fd};

        struct stat status;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            throw py::value_error("The key file " + path + " is not a file.");
        }
        if ((status.st_mode & 077) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(status.st_mode & 07777));
            PyErr_SetString(PyExc_PermissionError,
                            ("The key file " + path + " has mode " + mode +
                             ": its group or other users have permissions on it, and whoever can read the key can "
                             "undo the anonymization. Make it its owner's alone (chmod 600 " + path +
                             ") and try again.")
                                .c_str());
            throw py::error_already_set();
        }

        // Room for more than a key, so that a longer file gets the build's
        // message; one beyond the room is told by its size.
        char text[2 * KeyDigits];
        std::size_t length = 0;
        while (length < sizeof text) {
            const ssize_t got = ::read(fd, text + length, sizeof text - length);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                explicit_bzero(text, sizeof text);
                throw py::value_error("Cannot read the key file " + path + ": " + std::strerror(errno));
            }
            if (got == 0) break;
            length += static_cast<std::size_t>(got);
        }
        if (length == sizeof text) {
            explicit_bzero(text, sizeof text);
            throw py::value_error(source + " must be 64 hexadecimal digits (32 bytes); it has " +
                                  std::to_string(status.st_size) + " characters.");
        }
        if (length > 0 && text[length - 1] == '\n') --length;
        KeyBuffer buffer;
        try {
            parseKeyDigits(text, length, source, buffer);
        } catch (...) {
            explicit_bzero(text, sizeof text);
            throw;
        }
        explicit_bzero(text, sizeof text);
        return std::make_unique<Anonymizer>(buffer, policy, "the key file " + path);
    }

    std::string repr() const {
        return "<ipveil.Anonymizer with " + origin + (policyText.empty() ? "" : " and a policy") + ", key id " + id +
               ">";
    }

    const std::string& keyIdText() const noexcept { return id; }
    const std::string& policyCanonicalText() const noexcept { return policyText; }

    // The anonymizer another one's images are rekeyed to.
    static const Anonymizer& target(py::handle other) {
        if (!py::isinstance<Anonymizer>(other)) {
            throw py::type_error("rekey maps to the images of another ipveil.Anonymizer, not " + typeName(other) +
                                 ".");
        }
        return other.cast<const Anonymizer&>();
    }

    py::object map(py::handle value, Direction direction) const {
        if (direction.step != Direction::Anonymize && !truncation.empty()) {
            throw py::value_error(std::string(direction.step == Direction::Rekey ? "rekey" : "deanonymize") +
                                  " is refused: this anonymizer's policy truncates its images (" + truncation +
                                  "), and a truncated image has no one original.");
        }
        PyObject* object = value.ptr();
        if (PyUnicode_Check(object)) return mapText(value, direction);
        if (PyBool_Check(object)) {
            throw py::type_error("An address is an int, a str, an ipaddress object or an array of them, not bool.");
        }
        if (PyLong_Check(object)) return mapInt(value, direction);
        if (PyList_Check(object) || PyTuple_Check(object)) return mapSequence(value, direction, Kind::Address);
        if (isArray(value)) return mapArray(py::reinterpret_borrow<py::array>(value), direction);
        if (isModuleType(value, "ipaddress")) return mapIpaddress(value, direction);
        if (isModuleType(value, "pandas")) return mapPandas(value, direction, Kind::Address);
        if (PyIndex_Check(object)) {  // numpy's integer scalars
            const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(object));
            if (!number) throw py::error_already_set();
            return mapInt(number, direction);
        }
        if (!PyBytes_Check(object) && !PyByteArray_Check(object) && PySequence_Check(object)) {
            return mapSequence(value, direction, Kind::Address);
        }
        throw py::type_error("An address is an int, a str, an ipaddress object, a numpy array (uint32, or uint8 of "
                             "shape (N, 16)) or a sequence of str, not " + typeName(value) + ".");
    }

    // The MACs' counterpart of map(), with ipveil-pcap's permutation.
    py::object mapMac(py::handle value, Direction direction) const {
        PyObject* object = value.ptr();
        if (PyUnicode_Check(object)) return mapMacText(value, direction);
        if (PyBool_Check(object)) {
            throw py::type_error("A MAC is an int, a str or an array of them, not bool.");
        }
        if (PyLong_Check(object)) return mapMacInt(value, direction);
        if (PyList_Check(object) || PyTuple_Check(object)) return mapSequence(value, direction, Kind::Mac);
        if (isArray(value)) return mapMacArray(py::reinterpret_borrow<py::array>(value), direction);
        if (isModuleType(value, "pandas")) return mapPandas(value, direction, Kind::Mac);
        if (PyIndex_Check(object)) {  // numpy's integer scalars
            const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(object));
            if (!number) throw py::error_already_set();
            return mapMacInt(number, direction);
        }
        if (!PyBytes_Check(object) && !PyByteArray_Check(object) && PySequence_Check(object)) {
            return mapSequence(value, direction, Kind::Mac);
        }
        throw py::type_error("A MAC is an int, a str, a numpy array (uint8 of shape (N, 6), int64 or uint64) or a "
                             "sequence of str, not " + typeName(value) + ".");
    }

private:
    // No array exists before numpy is imported; asking pybind11 would import
    // it, and fail where it is not installed.
    static bool isArray(py::handle value) {
        return PyDict_GetItemString(PyImport_GetModuleDict(), "numpy") != nullptr && py::isinstance<py::array>(value);
    }

    // A rekeyed value goes back to its original in out and on to its new
    // image in place: the original lives only in the caller's output buffer.
    void mapMacs(const std::uint64_t* in, std::size_t count, std::uint64_t* out, Direction direction) const noexcept {
        switch (direction.step) {
            case Direction::Anonymize: macs->anonymize(in, count, out); break;
            case Direction::Deanonymize: macs->deanonymize(in, count, out); break;
            case Direction::Rekey:
                macs->deanonymize(in, count, out);
                direction.target->macs->anonymize(out, count, out);
                break;
        }
    }

    std::uint32_t map4(std::uint32_t address, Direction direction) const noexcept {
        map4(&address, 1, &address, direction);
        return address;
    }

    Ipv6Address map6(Ipv6Address address, Direction direction) const noexcept {
        map6(&address, 1, &address, direction);
        return address;
    }

    // images may be addresses (in place).
    void map4(const std::uint32_t* addresses, std::size_t count, std::uint32_t* images,
              Direction direction) const noexcept {
        switch (direction.step) {
            case Direction::Anonymize: anonymizer->anonymize(addresses, count, images); break;
            case Direction::Deanonymize: anonymizer->deanonymize(addresses, count, images); break;
            case Direction::Rekey:
                anonymizer->deanonymize(addresses, count, images);
                direction.target->anonymizer->anonymize(images, count, images);
                break;
        }
    }

    void map6(const Ipv6Address* addresses, std::size_t count, Ipv6Address* images,
              Direction direction) const noexcept {
        switch (direction.step) {
            case Direction::Anonymize: anonymizer->anonymize(addresses, count, images); break;
            case Direction::Deanonymize: anonymizer->deanonymize(addresses, count, images); break;
            case Direction::Rekey:
                anonymizer->deanonymize(addresses, count, images);
                direction.target->anonymizer->anonymize(images, count, images);
                break;
        }
    }

    py::object mapInt(py::handle value, Direction direction) const {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || number < 0 || number > 0xFFFFFFFFLL) {
            throw py::value_error("The int " + std::string(py::str(value)) +
                                  " is no IPv4 address: an int address is 0 to 4294967295.");
        }
        return py::int_(map4(static_cast<std::uint32_t>(number), direction));
    }

    py::object mapText(py::handle value, Direction direction) const {
        const char* first;
        const char* last;
        std::uint32_t address4;
        Ipv6Address address6;
        char out[Ipv6MaxTextChars];
        if (asciiText(value.ptr(), first, last)) {
            if (std::memchr(first, ':', static_cast<std::size_t>(last - first)) != nullptr) {
                if (parseIpv6Address(first, last, address6)) {
                    const char* end = formatIpv6Address(out, map6(address6, direction));
                    return py::reinterpret_steal<py::object>(newAsciiText(out, end));
                }
            } else if (parseIpv4Record(first, last, address4)) {
                const char* end = formatIpv4Address(out, map4(address4, direction));
                return py::reinterpret_steal<py::object>(newAsciiText(out, end));
            }
        }
        throw py::value_error(textForMessage(value) + " is not an IPv4 or IPv6 address.");
    }

    py::object mapIpaddress(py::handle value, Direction direction) const {
        const py::module_ ipaddress = py::module_::import("ipaddress");
        if (py::isinstance(value, ipaddress.attr("IPv4Address"))) {
            const auto address = value.attr("__int__")().cast<std::uint32_t>();
            return ipaddress.attr("IPv4Address")(map4(address, direction));
        }
        if (py::isinstance(value, ipaddress.attr("IPv6Address"))) {
            if (!value.attr("scope_id").is_none()) {
                throw py::value_error(std::string(py::str(value)) +
                                      " has a zone index, which ipveil does not read; give the address without it.");
            }
            const std::string packed = value.attr("packed").cast<std::string>();
            Ipv6Address address;
            std::memcpy(address.bytes, packed.data(), sizeof address.bytes);
            const Ipv6Address image = map6(address, direction);
            return ipaddress.attr("IPv6Address")(
                py::bytes(reinterpret_cast<const char*>(image.bytes), sizeof image.bytes));
        }
        throw py::type_error("An ipaddress address is an IPv4Address or IPv6Address, not " + typeName(value) +
                             "; map a network's addresses one by one.");
    }

    // A Series or Index comes back as one of the same index, name and dtype.
    py::object mapPandas(py::handle value, Direction direction, Kind kind) const {
        if (!py::hasattr(value, "to_numpy") || py::hasattr(value, "columns")) {
            throw py::type_error("A pandas " + typeName(value) +
                                 (kind == Kind::Address
                                      ? " is not an address column: map a Series (or Index) at a time, "
                                        "e.g. frame['src'] = anonymizer.anonymize(frame['src'])."
                                      : " is not a MAC column: map a Series (or Index) at a time, "
                                        "e.g. frame['mac'] = anonymizer.anonymize_mac(frame['mac'])."));
        }
        const py::module_ pandas = py::module_::import("pandas");
        const py::object dtype = value.attr("dtype");
        if (py::isinstance(dtype, pandas.attr("CategoricalDtype"))) return mapCategorical(value, direction, kind);
        const auto values = py::reinterpret_borrow<py::array>(value.attr("to_numpy")());
        const py::object images = kind == Kind::Address ? mapArray(values, direction) : mapMacArray(values, direction);
        if (py::isinstance(value, pandas.attr("Index"))) {
            return pandas.attr("Index")(images, py::arg("name") = value.attr("name"), py::arg("dtype") = dtype);
        }
        return pandas.attr("Series")(images, py::arg("index") = value.attr("index"),
                                     py::arg("name") = value.attr("name"), py::arg("dtype") = dtype);
    }

    // A categorical Series, CategoricalIndex or Categorical: its categories
    // are mapped and its codes kept, so a missing value stays missing. Two
    // categories that are one address in two forms ("10.0.0.1" and
    // "010.0.0.1") have one image, so their codes are then joined into the
    // first one's.
    py::object mapCategorical(py::handle value, Direction direction, Kind kind) const {
        const py::module_ pandas = py::module_::import("pandas");
        const py::module_ numpy = py::module_::import("numpy");
        const bool isSeries = py::isinstance(value, pandas.attr("Series"));
        const py::object categorical = isSeries ? value.attr("cat") : py::reinterpret_borrow<py::object>(value);
        py::object codes = numpy.attr("asarray")(categorical.attr("codes"));
        py::object categories = mapPandas(categorical.attr("categories"), direction, kind);
        if (!categories.attr("is_unique").cast<bool>()) {
            const py::object unique = categories.attr("unique")();
            const py::object joined = unique.attr("get_indexer")(categories);
            codes = numpy.attr("where")(codes.attr("__ge__")(0), joined.attr("take")(codes), -1);
            categories = unique;
        }
        const py::object images = pandas.attr("Categorical").attr("from_codes")(
            codes, py::arg("categories") = categories, py::arg("ordered") = value.attr("dtype").attr("ordered"));
        if (isSeries) {
            return pandas.attr("Series")(images, py::arg("index") = value.attr("index"),
                                         py::arg("name") = value.attr("name"));
        }
        if (py::isinstance(value, pandas.attr("Index"))) {
            return pandas.attr("CategoricalIndex")(images, py::arg("name") = value.attr("name"));
        }
        return images;
    }

    // An array of str objects or of numpy str: the strings' images in the
    // same kind of array and shape.
    py::object mapTextArray(const py::array& array, Direction direction, Kind kind) const {
        if (array.dtype().kind() == 'U') {
            const py::object objects = array.attr("astype")("O");
            return mapTextArray(py::reinterpret_borrow<py::array>(objects), direction, kind).attr("astype")("U");
        }
        const py::array flat = py::module_::import("numpy").attr("ascontiguousarray")(array).attr("reshape")(-1);
        const auto* items = static_cast<PyObject* const*>(flat.data());
        const py::list images = mapTexts(items, static_cast<std::size_t>(flat.size()), direction, kind);
        py::array result(py::dtype("O"), std::vector<py::ssize_t>{flat.size()});
        auto** out = static_cast<PyObject**>(result.mutable_data());
        for (py::ssize_t i = 0; i < flat.size(); ++i) {
            PyObject* image = PyList_GET_ITEM(images.ptr(), i);
            Py_INCREF(image);
            Py_XSETREF(out[i], image);
        }
        return result.attr("reshape")(array.attr("shape"));
    }

    py::object mapArray(const py::array& array, Direction direction) const {
        const py::dtype dtype = array.dtype();
        if (dtype.equal(py::dtype::of<std::uint32_t>())) return mapArray4(array, direction);
        if (dtype.equal(py::dtype::of<std::uint8_t>())) return mapArray6(array, direction);
        if (dtype.kind() == 'O' || dtype.kind() == 'U') return mapTextArray(array, direction, Kind::Address);
        throw py::type_error("An array of addresses holds uint32 (IPv4, in native byte order), uint8 of shape "
                             "(N, 16) (IPv6, network order) or str objects; this one holds " +
                             std::string(py::str(static_cast<const py::handle&>(dtype))) +
                             " (convert it with .astype(numpy.uint32) if it holds "
                             "IPv4 addresses as integers).");
    }

    // The image array is new: a plain input is mapped into it, any other
    // (strided, unaligned) is copied into it by numpy and mapped in place.
    py::object mapArray4(const py::array& array, Direction direction) const {
        const bool contiguous = isPlain(array);
        py::array_t<std::uint32_t> images = contiguous
            ? py::array_t<std::uint32_t>(std::vector<py::ssize_t>(array.shape(), array.shape() + array.ndim()))
            : py::array_t<std::uint32_t>(py::module_::import("numpy").attr("array")(array, py::arg("order") = "C"));
        const auto count = static_cast<std::size_t>(array.size());
        std::uint32_t* out = images.mutable_data();
        const auto* in = contiguous ? static_cast<const std::uint32_t*>(array.data()) : out;
        {
            py::gil_scoped_release release;
            map4(in, count, out, direction);
        }
        return images;
    }

    py::object mapArray6(const py::array& array, Direction direction) const {
        if (array.ndim() != 2 || array.shape(1) != 16) {
            std::string shape = "(";
            for (py::ssize_t d = 0; d < array.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(array.shape(d));
            shape += array.ndim() == 1 ? ",)" : ")";
            throw py::value_error("A uint8 array of IPv6 addresses has shape (N, 16), one address of 16 bytes in "
                                  "network order per row; this one has shape " + shape + ".");
        }
        const bool contiguous = isPlain(array);
        py::array_t<std::uint8_t> images = contiguous
            ? py::array_t<std::uint8_t>(std::vector<py::ssize_t>{array.shape(0), 16})
            : py::array_t<std::uint8_t>(py::module_::import("numpy").attr("array")(array, py::arg("order") = "C"));
        const auto count = static_cast<std::size_t>(array.shape(0));
        auto* out = reinterpret_cast<Ipv6Address*>(images.mutable_data());
        const auto* in = contiguous ? static_cast<const Ipv6Address*>(array.data()) : out;
        {
            py::gil_scoped_release release;
            map6(in, count, out, direction);
        }
        return images;
    }

    // A list or tuple comes back as the same; any other sequence as a list.
    py::object mapSequence(py::handle value, Direction direction, Kind kind) const {
        // A snapshot: another thread may change a list while the GIL is
        // released between batches.
        const py::object items = PyTuple_Check(value.ptr())
            ? py::reinterpret_borrow<py::object>(value)
            : py::reinterpret_steal<py::object>(PySequence_Tuple(value.ptr()));
        if (!items) throw py::error_already_set();
        py::list images = mapTexts(&PyTuple_GET_ITEM(items.ptr(), 0),
                                   static_cast<std::size_t>(PyTuple_GET_SIZE(items.ptr())), direction, kind);
        if (PyTuple_Check(value.ptr())) return py::reinterpret_steal<py::object>(PyList_AsTuple(images.ptr()));
        return images;
    }

    py::list mapTexts(PyObject* const* items, std::size_t count, Direction direction, Kind kind) const {
        return kind == Kind::Address ? mapAddressTexts(items, count, direction) : mapMacTexts(items, count, direction);
    }

    // Maps count str objects to a new list of their images, in batches: each
    // batch is parsed holding the GIL, mapped without it, and printed into new
    // str objects. The first element that is not an address raises, and the
    // list made so far is dropped with it.
    py::list mapAddressTexts(PyObject* const* items, std::size_t count, Direction direction) const {
        py::list images(static_cast<py::ssize_t>(count));
        struct Batch {
            std::uint32_t addresses4[TextBatch];
            Ipv6Address addresses6[TextBatch];
            bool isIpv6[TextBatch];
        };
        const auto batch = std::make_unique<Batch>();
        char out[Ipv6MaxTextChars];
        for (std::size_t start = 0; start < count; start += TextBatch) {
            const std::size_t size = std::min(TextBatch, count - start);
            std::size_t count4 = 0;
            std::size_t count6 = 0;
            for (std::size_t j = 0; j < size; ++j) {
                PyObject* item = items[start + j];
                if (!PyUnicode_Check(item)) {
                    throw py::type_error("Address " + std::to_string(start + j) + " is " +
                                         typeName(py::handle(item)) + ", not str.");
                }
                const char* first;
                const char* last;
                bool parsed = false;
                if (asciiText(item, first, last)) {
                    if (std::memchr(first, ':', static_cast<std::size_t>(last - first)) != nullptr) {
                        parsed = parseIpv6Address(first, last, batch->addresses6[count6]);
                        batch->isIpv6[j] = true;
                        count6 += parsed;
                    } else {
                        parsed = parseIpv4Record(first, last, batch->addresses4[count4]);
                        batch->isIpv6[j] = false;
                        count4 += parsed;
                    }
                }
                if (!parsed) {
                    throw py::value_error("Address " + std::to_string(start + j) + ", " +
                                          textForMessage(py::handle(item)) + ", is not an IPv4 or IPv6 address.");
                }
            }
            {
                py::gil_scoped_release release;
                map4(batch->addresses4, count4, batch->addresses4, direction);
                map6(batch->addresses6, count6, batch->addresses6, direction);
            }
            std::size_t next4 = 0;
            std::size_t next6 = 0;
            for (std::size_t j = 0; j < size; ++j) {
                const char* end = batch->isIpv6[j] ? formatIpv6Address(out, batch->addresses6[next6++])
                                                   : formatIpv4Address(out, batch->addresses4[next4++]);
                PyList_SET_ITEM(images.ptr(), static_cast<Py_ssize_t>(start + j), newAsciiText(out, end));
            }
        }
        return images;
    }

    // The MACs' counterpart of mapAddressTexts, in the same batches.
    py::list mapMacTexts(PyObject* const* items, std::size_t count, Direction direction) const {
        py::list images(static_cast<py::ssize_t>(count));
        std::vector<std::uint64_t> batch(std::min(TextBatch, count));
        char out[MacTextChars];
        for (std::size_t start = 0; start < count; start += TextBatch) {
            const std::size_t size = std::min(TextBatch, count - start);
            for (std::size_t j = 0; j < size; ++j) {
                PyObject* item = items[start + j];
                if (!PyUnicode_Check(item)) {
                    throw py::type_error("MAC " + std::to_string(start + j) + " is " + typeName(py::handle(item)) +
                                         ", not str.");
                }
                const char* first;
                const char* last;
                if (!asciiText(item, first, last) || !parseMacText(first, last, batch[j])) {
                    throw py::value_error("MAC " + std::to_string(start + j) + ", " +
                                          textForMessage(py::handle(item)) + ", is not a MAC address.");
                }
            }
            {
                py::gil_scoped_release release;
                mapMacs(batch.data(), size, batch.data(), direction);
            }
            for (std::size_t j = 0; j < size; ++j) {
                PyList_SET_ITEM(images.ptr(), static_cast<Py_ssize_t>(start + j),
                                newAsciiText(out, formatMacText(out, batch[j])));
            }
        }
        return images;
    }

    py::object mapMacInt(py::handle value, Direction direction) const {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow != 0 || number < 0 || static_cast<std::uint64_t>(number) > packet::MacPermutation::Broadcast) {
            throw py::value_error("The int " + std::string(py::str(value)) +
                                  " is no MAC: an int MAC is 0 to 2**48-1 (0xffffffffffff).");
        }
        std::uint64_t mac = static_cast<std::uint64_t>(number);
        mapMacs(&mac, 1, &mac, direction);
        return py::int_(mac);
    }

    py::object mapMacText(py::handle value, Direction direction) const {
        const char* first;
        const char* last;
        std::uint64_t mac;
        if (!asciiText(value.ptr(), first, last) || !parseMacText(first, last, mac)) {
            throw py::value_error(textForMessage(value) +
                                  " is not a MAC address (00:1a:2b:3c:4d:5e, 00-1A-2B-3C-4D-5E, 001a.2b3c.4d5e or "
                                  "001a2b3c4d5e).");
        }
        mapMacs(&mac, 1, &mac, direction);
        char out[MacTextChars];
        return py::reinterpret_steal<py::object>(newAsciiText(out, formatMacText(out, mac)));
    }

    // uint8 rows of six octets, or int64 / uint64 MACs of any shape: a new
    // array of the same dtype and shape. The octets are gathered into a
    // buffer of MACs and back, with the GIL released.
    py::object mapMacArray(const py::array& array, Direction direction) const {
        const py::dtype dtype = array.dtype();
        if (dtype.kind() == 'O' || dtype.kind() == 'U') return mapTextArray(array, direction, Kind::Mac);
        const py::module_ numpy = py::module_::import("numpy");
        const bool octets = dtype.equal(py::dtype::of<std::uint8_t>());
        if (!octets && !dtype.equal(py::dtype::of<std::uint64_t>()) && !dtype.equal(py::dtype::of<std::int64_t>())) {
            throw py::type_error("An array of MACs holds uint8 of shape (N, 6) (six octets a row), int64 or uint64 "
                                 "(one MAC an element) or str objects; this one holds " +
                                 std::string(py::str(static_cast<const py::handle&>(dtype))) + ".");
        }
        if (octets && (array.ndim() != 2 || array.shape(1) != 6)) {
            std::string shape = "(";
            for (py::ssize_t d = 0; d < array.ndim(); ++d) shape += (d ? ", " : "") + std::to_string(array.shape(d));
            shape += array.ndim() == 1 ? ",)" : ")";
            throw py::value_error("A uint8 array of MACs has shape (N, 6), one MAC of six octets per row; this one "
                                  "has shape " + shape + ".");
        }
        // A new C-ordered copy, mapped in place.
        auto images = py::reinterpret_steal<py::array>(
            numpy.attr("array")(array, py::arg("order") = "C").release());
        const auto count = static_cast<std::size_t>(octets ? array.shape(0) : array.size());
        if (!octets) {
            const auto* values = static_cast<const std::uint64_t*>(images.data());
            for (std::size_t i = 0; i < count; ++i) {
                if (values[i] > packet::MacPermutation::Broadcast) {  // a negative int64 too
                    throw py::value_error("MAC " + std::to_string(i) + ", " +
                                          std::to_string(static_cast<std::int64_t>(values[i])) +
                                          ", is not a 48-bit MAC: an int MAC is 0 to 2**48-1.");
                }
            }
        }
        auto* data = images.mutable_data();
        {
            py::gil_scoped_release release;
            if (octets) {
                auto* rows = static_cast<std::uint8_t*>(data);
                std::vector<std::uint64_t> buffer(count);
                for (std::size_t i = 0; i < count; ++i) buffer[i] = packet::MacPermutation::fromBytes(rows + 6 * i, 6);
                mapMacs(buffer.data(), count, buffer.data(), direction);
                for (std::size_t i = 0; i < count; ++i) packet::MacPermutation::toBytes(buffer[i], rows + 6 * i);
            } else {
                auto* values = static_cast<std::uint64_t*>(data);
                mapMacs(values, count, values, direction);
            }
        }
        return images;
    }

    // Held by pointer: the cipher's round keys want an alignment that
    // pybind11's own allocation of the wrapper does not promise.
    std::unique_ptr<PrefixAnonymizer> anonymizer;
    std::unique_ptr<packet::MacPermutation> macs;
    std::string policyText;  // canonical; empty without a policy
    std::string id;
    std::string truncation;  // the policy's truncations, empty if it has none
    std::string origin;
};

}  // namespace

}  // namespace ipveil::python

PYBIND11_MODULE(_ipveil, module) {
    using ipveil::python::Anonymizer;
    using ipveil::python::Direction;
    module.doc() = "The prefix-preserving address mapping of the ipveil command (see the package ipveil).";
    // The project's version, as the commands' --version print it.
    module.attr("__version__") = IPVEIL_VERSION;
    // The arguments are taken as plain objects, so that their types are
    // checked here; the docstrings give the signatures instead.
    py::options options;
    options.disable_function_signatures();

    py::class_<Anonymizer> anonymizerClass(module, "Anonymizer", R"doc(The keyed, prefix-preserving permutation of
IPv4 and IPv6 addresses that the ipveil command applies, for addresses in Python data.

Anonymizer(key, policy=None) takes the key as 32 bytes or as a str of 64
hexadecimal digits (bytes 0-15 the AES-128 key, 16-31 the pad seed);
Anonymizer.from_key_file(path, policy=None) reads a key file, such as the one a
keyed build of ipveil is made with. The same key gives the same images as that
ipveil, and the same key and policy the same images as ipveil-pcap --key-file
FILE --policy FILE. Whoever holds the object (or can run code in the process)
holds the key: keep it as secret as the key.

policy is the text of a release policy, one rule a line ('#' comments and blank
lines allowed):
  special       the IANA special-purpose blocks (private, loopback, link-local,
                documentation, multicast, ...) map inside themselves, and
                0.0.0.0, 255.255.255.255, :: and ::1 stay as they are
  preserve P/L  an address inside P maps inside P
  keep P/L      an address inside P is not changed
  only P/L      (repeatable) addresses outside every `only` prefix are kept
  truncate4 N   images of IPv4 addresses keep only their first N bits
  truncate6 N   the same for IPv6
The mapping stays a keyed, prefix-preserving bijection under any policy; a
truncating one makes it irreversible, so deanonymize() and rekey() refuse it.
A malformed policy raises ValueError naming its line. MACs are not affected.

anonymize() and deanonymize() take one address or many and give back the same
kind; rekey() turns images under this key into images under another; see their
help. None of them changes its argument. key_id is the public fingerprint of
the key and policy that ipveil-pcap prints.
)doc");
    anonymizerClass.attr("__module__") = "ipveil";
    anonymizerClass
        // Arguments taken as they come: pybind11's message for a call that
        // does not match would show their repr, the key's among them.
        .def(py::init([](const py::args& args, const py::kwargs& kwargs) -> std::unique_ptr<Anonymizer> {
                 // Only the count and the keywords' names are told, never a value.
                 const char* const names[] = {"key", "policy"};
                 py::object values[2] = {py::object(), py::none()};
                 std::string wrong;
                 if (args.size() > 2) wrong = std::to_string(args.size()) + " given";
                 for (std::size_t i = 0; i < args.size() && i < 2; ++i) values[i] = args[i];
                 for (const auto& [name, value] : kwargs) {
                     const std::string word = py::str(name);
                     const std::size_t at = word == "key" ? 0 : word == "policy" ? 1 : 2;
                     if (at == 2) {
                         wrong = "no argument is named " + word;
                     } else if (at < args.size()) {
                         wrong = std::string(names[at]) + " given twice";
                     } else {
                         values[at] = py::reinterpret_borrow<py::object>(value);
                     }
                 }
                 if (wrong.empty() && !values[0]) wrong = "no key given";
                 if (!wrong.empty()) {
                     throw py::type_error("Anonymizer() takes the key and an optional policy, "
                                          "Anonymizer(key, policy=None) (" + wrong + ").");
                 }
                 return Anonymizer::fromKey(values[0], values[1]);
             }),
             "__init__(self, key: bytes | str, policy: str | None = None) -> None\n\n"
             "key is 32 bytes, or a str of 64 hexadecimal digits in either case; policy the text of a release "
             "policy (see help(ipveil.Anonymizer)).")
        .def_static("from_key_file", &Anonymizer::fromKeyFile, py::arg("path"), py::arg("policy") = py::none(),
                    R"doc(from_key_file(path: str | bytes | os.PathLike, policy: str | None = None) -> Anonymizer

Reads the key from a key file: 64 hexadecimal digits and at most one line feed,
as for the build's IPVEIL_KEY_FILE and ipveil-pcap --key-file. Refuses
(PermissionError) a file that its group or other users have any permission on:
chmod 600 it. policy is the text of a release policy, as for Anonymizer().
)doc")
        .def_property_readonly("key_id", &Anonymizer::keyIdText, R"doc(The key id: 16 hexadecimal digits, a public
fingerprint of the key and the policy, the same that ipveil-pcap prints and
records for them. Two releases with one key id share their mapping. It is the
first 8 bytes of SHA-256("ipveil key id 1", a zero byte, the 32 key bytes, the
policy's canonical text): no part of the key can be had from it faster than by
trying every key.
)doc")
        .def_property_readonly("policy", &Anonymizer::policyCanonicalText, R"doc(The policy in force, in its canonical
text (its rules sorted, one a line, comments and repeats dropped; `special`
stays one word); empty without one.
)doc")
        .def("anonymize",
             [](const Anonymizer& self, py::handle value) { return self.map(value, Direction::Anonymize); },
             py::arg("addresses"), R"doc(anonymize(self, addresses) -> the same kind as addresses

The images of one address or of many, in the same kind as given:

- int: an IPv4 address, 0 to 2**32-1 (the first dotted component most
  significant), gives an int;
- str: an IPv4 dotted quad or an IPv6 address, as the ipveil command reads them,
  gives the image printed as ipveil prints it (dotted quad; RFC 5952 for IPv6);
- ipaddress.IPv4Address / IPv6Address gives the same type;
- numpy.ndarray of uint32 (IPv4, any shape) gives a new uint32 array;
  of uint8 with shape (N, 16) (IPv6, network order) a new (N, 16) array;
  of str objects (or numpy str) an array of str, IPv4 and IPv6 mixed;
- list or tuple of str gives a list or tuple; another sequence of str a list;
- pandas Series or Index of any of those array kinds gives one with the same
  index, name and dtype; a categorical one has its categories mapped and its
  codes kept (missing values stay missing).

Numeric arrays are mapped with the GIL released; strings in batches, with the
GIL released for each batch's AES work. A string that is not an address raises
ValueError naming its index and text; an int out of range raises ValueError;
a wrong type, dtype or element type raises TypeError. Nothing partial is
returned and the argument is never changed.
)doc")
        .def("deanonymize",
             [](const Anonymizer& self, py::handle value) { return self.map(value, Direction::Deanonymize); },
             py::arg("images"), R"doc(deanonymize(self, images) -> the same kind as images

The originals of anonymized addresses: deanonymize(anonymize(x)) == x (for
strings, up to how the address is printed). Takes and gives back the same kinds
as anonymize(). Refused (ValueError) when the policy truncates: a truncated
image has no one original.
)doc")
        .def(
            "rekey",
            [](const Anonymizer& self, py::handle other, py::handle value) {
                return self.map(value, Direction(Direction::Rekey, &Anonymizer::target(other)));
            },
            py::arg("other"), py::arg("images"), R"doc(rekey(self, other, images) -> the same kind as images

The images under other of the addresses whose images under this anonymizer are
given: other.anonymize(self.deanonymize(images)), in one pass, with no
original handed back to Python. It re-issues data anonymized under one key (and
policy) under another, as ipveil-pcap --rekey does for a capture. Takes and
gives back the same kinds as anonymize(). Refused (ValueError) when this
anonymizer's policy truncates, as deanonymize() is.
)doc")
        .def("anonymize_mac",
             [](const Anonymizer& self, py::handle value) { return self.mapMac(value, Direction::Anonymize); },
             py::arg("macs"), R"doc(anonymize_mac(self, macs) -> the same kind as macs

The images of one MAC address or of many under the keyed permutation that
ipveil-pcap applies to the MACs of a capture with the same key, so that a
table of MACs still matches the anonymized capture. It keeps the group and
local bits and ff:ff:ff:ff:ff:ff, and nothing else (vendor prefixes do not
survive). In the same kind as given:

- int: a MAC in its low 48 bits, first octet most significant, gives an int;
- str: 00:1a:2b:3c:4d:5e, 00-1A-2B-3C-4D-5E, 001a.2b3c.4d5e or 001a2b3c4d5e
  (either case) gives the image in one form, lower case joined by ':'
  (00:1a:2b:3c:4d:5e), as tshark prints MACs;
- numpy.ndarray of uint8 with shape (N, 6) (six octets a row) gives a new
  (N, 6) array; of int64 or uint64 (any shape) a new array of that dtype;
  of str objects (or numpy str) an array of str;
- list or tuple of str gives a list or tuple; another sequence of str a list;
- pandas Series or Index of any of those array kinds, categorical too, gives
  one with the same index, name and dtype.

A string that is not a MAC raises ValueError naming its index and text, an int
out of range ValueError, a wrong type or dtype TypeError; nothing partial is
returned and the argument is never changed.
)doc")
        .def("deanonymize_mac",
             [](const Anonymizer& self, py::handle value) { return self.mapMac(value, Direction::Deanonymize); },
             py::arg("images"), R"doc(deanonymize_mac(self, images) -> the same kind as images

The original MACs of anonymized ones, as ipveil-pcap --reveal gives them:
deanonymize_mac(anonymize_mac(x)) == x (for strings, up to the form). Takes
and gives back the same kinds as anonymize_mac().
)doc")
        .def(
            "rekey_mac",
            [](const Anonymizer& self, py::handle other, py::handle value) {
                return self.mapMac(value, Direction(Direction::Rekey, &Anonymizer::target(other)));
            },
            py::arg("other"), py::arg("images"), R"doc(rekey_mac(self, other, images) -> the same kind as images

The MACs' rekey(): other.anonymize_mac(self.deanonymize_mac(images)), as
ipveil-pcap --rekey maps a capture's MACs. Takes and gives back the same kinds
as anonymize_mac().
)doc")
        .def("__repr__", &Anonymizer::repr,
             "__repr__(self) -> str\n\nWhere the key came from, never the key, and the key id.")
        .def(
            "__reduce__",
            [](const Anonymizer&) -> py::object {
                throw py::type_error(
                    "An ipveil.Anonymizer is not pickled: that would write its key out. Give another process (a "
                    "multiprocessing or Dask worker) the key file's path instead, and let it call "
                    "ipveil.Anonymizer.from_key_file(path) itself; ipveil.dask does so for Dask dataframes.");
            },
            "__reduce__(self)\n\nRefused: pickling would write the key out; other processes read the key file "
            "themselves (Anonymizer.from_key_file, ipveil.dask).");
}
