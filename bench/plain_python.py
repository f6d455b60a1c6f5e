"""The plain-Python way of doing each job the module does, for comparison."""

import hashlib
import os
import pathlib

# The characters with the Unicode White_Space property (str.strip() removes more).
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"


def strip_extended_prefix(text):
    if text.startswith("\\\\?\\UNC\\"):
        return "\\\\" + text[8:]
    if text.startswith("\\\\?\\") and len(text[4:].encode()) < 260:
        return text[4:]
    return text


def normalize_path(raw):
    if raw is None or not raw.strip(WHITE_SPACE):
        return ""
    try:
        return strip_extended_prefix(os.path.realpath(raw, strict=True))
    except (OSError, ValueError):
        pass
    path = pathlib.PurePosixPath(raw)
    if path.name and path.name != ".." and str(path.parent) not in ("", ".") or raw.startswith("./"):
        try:
            parent = os.path.realpath(str(path.parent), strict=True)
            return strip_extended_prefix(os.path.join(parent, path.name))
        except (OSError, ValueError):
            pass
    return strip_extended_prefix(raw)


def path_fingerprint(raw):
    return hashlib.sha1(normalize_path(raw).encode()).hexdigest()[:12]
