"""Address columns of Dask dataframes mapped on the workers of a cluster.

    import dask.dataframe as dd
    import ipveil.dask

    flows = dd.read_csv("flows-*.csv", dtype=str, keep_default_na=False)
    flows = ipveil.dask.anonymize_columns(flows, ["src", "dst"], "/etc/ipveil/key")
    flows.to_csv("flows-anonymized-*.csv", index=False)

An Anonymizer holds the key and refuses to be pickled, so it never goes to a
worker. What goes through the scheduler is the key file's path (and the policy's
text); each worker process reads the key from its own copy of the file, with
Anonymizer.from_key_file and its owner-only check, at the first partition it
maps, and keeps that Anonymizer for the partitions after it. A key file changed
on a worker is therefore read again only by new worker processes.

A column is mapped as the pandas API maps it (Anonymizer.anonymize of a Series),
and its missing values (None, NaN, pd.NA) stay as they are: columns of str
(object or pandas' string dtype), IPv4 and IPv6 mixed, and IPv4 integer columns
of dtype uint32, or UInt32 with missing values. The dataframe's columns and
dtypes do not change.
"""

import functools
import os

import dask.base
import numpy
import pandas

from . import Anonymizer

__all__ = ["anonymize_columns", "deanonymize_columns"]


def anonymize_columns(frame, columns, key_file, policy=None):
    """The dask dataframe frame with the addresses of columns (a name or a list of names) replaced by their images
    under the key in key_file and the policy's text, mapped partition by partition on the workers.

    key_file is an absolute path at which every worker finds the key file, readable by its owner alone (chmod 600).
    A column of a dtype that cannot hold addresses raises TypeError here; a cell that is not an address, or a key file
    that is missing or open to others (PermissionError), raises on the worker and so at compute()."""
    return _map_columns(frame, columns, key_file, policy, "anonymize")


def deanonymize_columns(frame, columns, key_file, policy=None):
    """The key holder's inverse of anonymize_columns() with the same key file and policy, as ipveil-reveal is of
    ipveil: the original addresses of the images in columns. Refused (ValueError, at compute()) for a policy that
    truncates."""
    return _map_columns(frame, columns, key_file, policy, "deanonymize")


def _map_columns(frame, columns, key_file, policy, step):
    columns = [columns] if isinstance(columns, str) else list(columns)
    key_file = os.fspath(key_file)
    if isinstance(key_file, bytes):
        key_file = os.fsdecode(key_file)
    # A relative path would be taken from each worker's working directory, which need not be the client's.
    if not os.path.isabs(key_file):
        raise ValueError(f"The key file {key_file} must be given by an absolute path: each worker opens it itself.")
    if policy is not None and not isinstance(policy, str):
        raise TypeError(f"A policy is the text of a release policy (str) or None, not {type(policy).__name__}.")
    meta = frame._meta
    for column in columns:
        if column not in meta.columns:
            raise KeyError(f"The dataframe has no column {column!r}.")
        _check_dtype(column, meta[column].dtype)
    # The arguments bound to the function, so that the graph holds them as given and never looks into them. They
    # are in the name of the result too: Dask takes two results of one name for one.
    mapper = functools.partial(_map_partition, columns=tuple(columns), key_file=key_file, policy=policy, step=step)
    token = f"ipveil-{step}-{dask.base.tokenize(mapper.keywords)}"
    return frame.map_partitions(mapper, meta=meta, token=token)


def _check_dtype(column, dtype):
    if dtype == object or isinstance(dtype, pandas.StringDtype):
        return
    if dtype == numpy.uint32 or dtype == pandas.UInt32Dtype():
        return
    advice = ""
    if pandas.api.types.is_numeric_dtype(dtype):
        advice = (" (convert it with .astype('uint32') if it holds IPv4 addresses as integers, or .astype('UInt32') "
                  "if some are missing)")
    raise TypeError(f"The column {column!r} holds {dtype}; an address column holds str (IPv4 and IPv6), uint32 or "
                    f"UInt32 (IPv4){advice}.")


@functools.lru_cache(maxsize=None)
def _anonymizer(key_file, policy):
    """The worker process's Anonymizer for a key file and policy: the file is read at the first partition only.
    A failure is not cached, so a key file put right is read at the next attempt."""
    return Anonymizer.from_key_file(key_file, policy)


def _map_partition(part, columns, key_file, policy, step):
    mapping = getattr(_anonymizer(key_file, policy), step)
    # A new frame sharing the other columns: the partition given may be kept by the worker for other tasks.
    mapped = part.copy(deep=False)
    for column in columns:
        mapped[column] = _map_column(mapping, part[column])
    return mapped


def _map_column(mapping, column):
    present = column.notna().to_numpy()
    if column.dtype == pandas.UInt32Dtype():
        # Missing cells are mapped as 0 in the dense values and masked again.
        images = mapping(column.to_numpy(dtype=numpy.uint32, na_value=0))
        return pandas.Series(pandas.arrays.IntegerArray(images, ~present), index=column.index, name=column.name)
    if present.all():
        return mapping(column)
    # Positionally, as a partition's index may repeat labels; each missing cell keeps its own kind of null. A copy
    # made here: to_numpy(copy=True) of an unpickled string column (as a worker gets one) can be a view of it.
    values = numpy.array(column.to_numpy(dtype=object), dtype=object)
    values[present] = mapping(values[present])
    return pandas.Series(values, index=column.index, name=column.name, dtype=column.dtype)
