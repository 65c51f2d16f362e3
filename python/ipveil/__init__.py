"""ipveil: the keyed, prefix-preserving address mapping of the ipveil command, for Python data.

    import ipveil
    anonymizer = ipveil.Anonymizer.from_key_file("/home/me/.config/ipveil/key")
    anonymizer.anonymize("10.0.0.1")             # a str, printed as ipveil prints it
    frame["src"] = anonymizer.anonymize(frame["src"])   # a pandas column of address strings
    frame["mac"] = anonymizer.anonymize_mac(frame["mac"])  # MACs, as ipveil-pcap maps them

    release = ipveil.Anonymizer.from_key_file(path, policy="special\npreserve 10.0.0.0/8")
    release.key_id                               # the public fingerprint of key and policy
    anonymizer.rekey(release, images)            # images under one key turned into images under another

The images are those of the ipveil command built with the same key file, and
of ipveil-pcap --key-file with the same policy. The Anonymizer holds the key:
whoever can use it can undo the mapping.
"""

from ._ipveil import Anonymizer, __version__

__all__ = ["Anonymizer", "__version__"]
