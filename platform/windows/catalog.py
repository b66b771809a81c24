#!/usr/bin/env python3
"""Writes the driver package's catalog, unsigned: a PKCS #7 SignedData with
no signers whose content is a certificate trust list of the package's files,
in the shape MakeCat and Inf2Cat write (catalog version 2: SHA-256 hashes).
bundle_make.cmake then signs it with osslsigncode, as signtool signs the
catalog Inf2Cat makes.

    catalog.py OUT.cat pontor.sys pontor.inf ...

A PE image (starting with MZ) is listed by its Authenticode hash, any other
file by the hash of its bytes. Every structure is asn1crypto's; nothing here
writes DER by hand.
"""
import datetime
import hashlib
import os
import struct
import sys

from asn1crypto import algos, cms, core, x509

CTL = "1.3.6.1.4.1.311.10.1"  # szOID_CTL
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"  # szOID_CATALOG_LIST
CATALOG_LIST_MEMBER_V2 = "1.3.6.1.4.1.311.12.1.3"  # szOID_CATALOG_LIST_MEMBER2
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"  # CAT_NAMEVALUE_OBJID
MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"  # CAT_MEMBERINFO_OBJID
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # SPC_INDIRECT_DATA_OBJID
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"  # SPC_PE_IMAGE_DATAOBJ
CAB_DATA = "1.3.6.1.4.1.311.2.1.25"  # SPC_CAB_DATA_OBJID: flat files
SIGNED_DATA = "1.2.840.113549.1.7.2"

# The subject interface packages that hash each kind of member.
PE_SIP = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SIP = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII
ATTRIBUTE_FLAGS = 0x10010001
OBSOLETE = "<<<Obsolete>>>"


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString),
        ("file", SpcLink, {"explicit": 0}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class CatalogNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class CatalogMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", core.SetOf, {"spec": core.Any})]


class TrustedSubject(core.Sequence):
    _fields = [
        ("subject_identifier", core.OctetString),
        ("subject_attributes", core.SetOf, {"spec": Attribute}),
    ]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CertificateTrustList(core.Sequence):
    _fields = [
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString),
        ("this_update", core.UTCTime),
        ("subject_algorithm", algos.DigestAlgorithm),
        ("trusted_subjects", TrustedSubjects),
        ("extensions", x509.Extensions, {"explicit": 0, "optional": True}),
    ]


class CatalogContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", CertificateTrustList, {"explicit": 0})]


class UnsignedData(core.Sequence):
    _fields = [
        ("version", core.Integer),
        ("digest_algorithms", cms.DigestAlgorithms),
        ("content_info", CatalogContentInfo),
        ("signer_infos", core.SetOf, {"spec": core.Any}),
    ]


class ContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", UnsignedData, {"explicit": 0})]


def authenticode_digest(image: bytes) -> bytes:
    """SHA-256 over the image without its checksum, its certificate table's
    directory entry and the table itself (at the end of the file)."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[:2] != b"MZ" or image[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    checksum = optional + 64
    security = directories + 4 * 8
    table, size = struct.unpack_from("<II", image, security)
    end = table if size else len(image)
    digest = hashlib.sha256()
    digest.update(image[:checksum])
    digest.update(image[checksum + 4 : security])
    digest.update(image[security + 8 : end])
    if not size and end % 8:
        digest.update(b"\0" * (8 - end % 8))  # as signing pads the image
    return digest.digest()


def name_value(tag: str, value: str) -> CatalogNameValue:
    return CatalogNameValue(
        {"tag": tag, "flags": ATTRIBUTE_FLAGS, "value": (value + "\0").encode("utf-16-le")}
    )


def name_value_attribute(tag: str, value: str) -> Attribute:
    return Attribute({"type": NAME_VALUE, "values": [name_value(tag, value)]})


def member(path: str) -> TrustedSubject:
    with open(path, "rb") as f:
        data = f.read()
    sha256 = algos.DigestAlgorithm({"algorithm": "sha256", "parameters": core.Null()})
    obsolete = SpcLink(name="file", value=SpcString(name="unicode", value=OBSOLETE))
    if data[:2] == b"MZ":
        digest, sip = authenticode_digest(data), PE_SIP
        kind = SpcAttributeTypeAndOptionalValue(
            {"type": PE_IMAGE_DATA, "value": SpcPeImageData({"flags": (), "file": obsolete})}
        )
    else:
        digest, sip = hashlib.sha256(data).digest(), FLAT_SIP
        kind = SpcAttributeTypeAndOptionalValue({"type": CAB_DATA, "value": obsolete})
    indirect = SpcIndirectDataContent(
        {"data": kind, "message_digest": {"digest_algorithm": sha256, "digest": digest}}
    )
    info = CatalogMemberInfo({"subject_guid": sip, "cert_version": 512})
    # A version 2 catalog identifies a member by its hash itself (version 1
    # by the hash in hexadecimal, as UTF-16).
    return TrustedSubject(
        {
            "subject_identifier": digest,
            "subject_attributes": [
                name_value_attribute("File", os.path.basename(path)),
                name_value_attribute("OSAttr", "2:10.0"),
                Attribute({"type": MEMBER_INFO, "values": [info]}),
                Attribute({"type": INDIRECT_DATA, "values": [indirect]}),
            ],
        }
    )


def catalog(paths, now: datetime.datetime) -> bytes:
    members = sorted((member(p) for p in paths), key=lambda m: m["subject_identifier"].native)
    # Identified by its contents, so that the same files give the same catalog.
    identity = hashlib.sha256(b"".join(m.dump() for m in members)).digest()[:16]
    ctl = CertificateTrustList(
        {
            "subject_usage": [CATALOG_LIST],
            "list_identifier": identity,
            "this_update": now,
            "subject_algorithm": {"algorithm": CATALOG_LIST_MEMBER_V2, "parameters": core.Null()},
            "trusted_subjects": members,
            "extensions": [
                {"extn_id": NAME_VALUE, "extn_value": name_value("OS", "_v100_X64").dump()}
            ],
        }
    )
    unsigned = ContentInfo(
        {
            "content_type": SIGNED_DATA,
            "content": {
                "version": 1,
                "digest_algorithms": [{"algorithm": "sha256", "parameters": core.Null()}],
                "content_info": {"content_type": CTL, "content": ctl},
                "signer_infos": [],
            },
        }
    )
    return unsigned.dump(force=True)


def main(argv):
    if len(argv) < 3:
        sys.exit("usage: catalog.py OUT.cat FILE...")
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    with open(argv[1] + ".new", "wb") as f:
        f.write(catalog(argv[2:], now))
    os.replace(argv[1] + ".new", argv[1])


if __name__ == "__main__":
    main(sys.argv)
