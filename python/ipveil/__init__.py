"""ipveil: the keyed, prefix-preserving address mapping of the ipveil command, for Python data.

    import ipveil
    anonymizer = ipveil.Anonymizer.from_key_file("/home/me/.config/ipveil/key")
    anonymizer.anonymize("10.0.0.1")             # a str, printed as ipveil prints it
    frame["src"] = anonymizer.anonymize(frame["src"])   # a pandas column of address strings
    frame["mac"] = anonymizer.anonymize_mac(frame["mac"])  # MACs, as ipveil-pcap maps them

The images are those of the ipveil command built with the same key file. The
Anonymizer holds the key: whoever can use it can undo the mapping.
"""

from ._ipveil import Anonymizer, __version__

__all__ = ["Anonymizer", "__version__"]
