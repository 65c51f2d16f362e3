# Type stubs of the ipveil package (the extension ipveil._ipveil).
import ipaddress
import os
from typing import Any, Sequence, TypeVar, overload

import numpy

_Uint32Array = numpy.ndarray[Any, numpy.dtype[numpy.uint32]]
_Uint8Array = numpy.ndarray[Any, numpy.dtype[numpy.uint8]]
_Addresses = TypeVar("_Addresses", list[str], tuple[str, ...])

__version__: str

class Anonymizer:
    """The keyed, prefix-preserving permutation of IPv4 and IPv6 addresses that the ipveil command applies."""

    def __init__(self, key: bytes | bytearray | memoryview | str) -> None:
        """key: 32 bytes, or a str of 64 hexadecimal digits (bytes 0-15 the AES-128 key, 16-31 the pad seed)."""
    @staticmethod
    def from_key_file(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> Anonymizer:
        """Reads a key file (64 hexadecimal digits, at most one line feed) that only its owner may access."""
    @overload
    def anonymize(self, addresses: int) -> int: ...
    @overload
    def anonymize(self, addresses: str) -> str: ...
    @overload
    def anonymize(self, addresses: ipaddress.IPv4Address) -> ipaddress.IPv4Address: ...
    @overload
    def anonymize(self, addresses: ipaddress.IPv6Address) -> ipaddress.IPv6Address: ...
    @overload
    def anonymize(self, addresses: _Uint32Array) -> _Uint32Array: ...
    @overload
    def anonymize(self, addresses: _Uint8Array) -> _Uint8Array: ...
    @overload
    def anonymize(self, addresses: numpy.ndarray[Any, numpy.dtype[Any]]) -> numpy.ndarray[Any, numpy.dtype[Any]]: ...
    @overload
    def anonymize(self, addresses: _Addresses) -> _Addresses: ...
    @overload
    def anonymize(self, addresses: Sequence[str]) -> list[str]: ...
    @overload
    def anonymize(self, addresses: Any) -> Any:
        """The images of one address or many, in the kind given (pandas Series and Index too)."""
    @overload
    def deanonymize(self, images: int) -> int: ...
    @overload
    def deanonymize(self, images: str) -> str: ...
    @overload
    def deanonymize(self, images: ipaddress.IPv4Address) -> ipaddress.IPv4Address: ...
    @overload
    def deanonymize(self, images: ipaddress.IPv6Address) -> ipaddress.IPv6Address: ...
    @overload
    def deanonymize(self, images: _Uint32Array) -> _Uint32Array: ...
    @overload
    def deanonymize(self, images: _Uint8Array) -> _Uint8Array: ...
    @overload
    def deanonymize(self, images: numpy.ndarray[Any, numpy.dtype[Any]]) -> numpy.ndarray[Any, numpy.dtype[Any]]: ...
    @overload
    def deanonymize(self, images: _Addresses) -> _Addresses: ...
    @overload
    def deanonymize(self, images: Sequence[str]) -> list[str]: ...
    @overload
    def deanonymize(self, images: Any) -> Any:
        """The originals of anonymized addresses, in the kind given: deanonymize(anonymize(x)) == x."""
    def __repr__(self) -> str: ...

__all__ = ["Anonymizer", "__version__"]
