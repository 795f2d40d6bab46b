"""The certificates of a release's signing: which one signs, whether it may,
the chain that goes into the signature, what is published of the signer, and
what a signature made with it says.

    certificates.py holds CERTS
    certificates.py signer CERTS KEY PUBLIC_KEY CHAIN_OUT SIGNER_OUT
    certificates.py signature-key CERTS SIGNATURE PUBLIC_KEY_OUT
    certificates.py check-signed SIGNER SIGNATURE STAMPED_BY
    certificates.py publication SIGNER

A refusal exits 3 with its reason on stderr, for the signing step to print;
signature-key exits 1 when no certificate made the signature. Certificates
are PEM, signatures PKCS #7 in PEM.
"""
import base64
import datetime
import re
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.oid import ExtendedKeyUsageOID

LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
# osslsigncode keeps an RFC 3161 timestamp in this unsigned attribute.
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"

USAGE_NAMES = {
    ExtendedKeyUsageOID.SERVER_AUTH.dotted_string: "TLS Web Server Authentication",
    ExtendedKeyUsageOID.CLIENT_AUTH.dotted_string: "TLS Web Client Authentication",
    ExtendedKeyUsageOID.CODE_SIGNING.dotted_string: "Code Signing",
    ExtendedKeyUsageOID.EMAIL_PROTECTION.dotted_string: "E-mail Protection",
    ExtendedKeyUsageOID.TIME_STAMPING.dotted_string: "Time Stamping",
    ExtendedKeyUsageOID.OCSP_SIGNING.dotted_string: "OCSP Signing",
}
KEY_USAGE_NAMES = [
    ("digital_signature", "Digital Signature"),
    ("content_commitment", "Non Repudiation"),
    ("key_encipherment", "Key Encipherment"),
    ("data_encipherment", "Data Encipherment"),
    ("key_agreement", "Key Agreement"),
    ("key_cert_sign", "Certificate Sign"),
    ("crl_sign", "CRL Sign"),
]


class Refusal(Exception):
    pass


def load_certificates(path):
    text = open(path, "rb").read()
    blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", text, re.S)
    if not blocks:
        raise Refusal(f"QUARVANE_SIGN_CERT names {path}, which holds no PEM certificate")
    return [x509.load_pem_x509_certificate(block) for block in blocks]


def load_public_key(path):
    return serialization.load_pem_public_key(open(path, "rb").read())


def public_bytes(key):
    return key.public_bytes(serialization.Encoding.DER,
                            serialization.PublicFormat.SubjectPublicKeyInfo)


def same_key(certificate, key):
    return public_bytes(certificate.public_key()) == public_bytes(key)


# Names as Windows shows them: most specific first, in UTF-8, not escaped.
def name_text(name):
    return ", ".join("+".join(attribute.rfc4514_string() for attribute in rdn)
                     for rdn in reversed(name.rdns))


def valid_from(certificate):
    return _utc(certificate, "not_valid_before")


def valid_to(certificate):
    return _utc(certificate, "not_valid_after")


def _utc(certificate, field):
    # Debian 12's cryptography has only the naive UTC dates.
    aware = getattr(certificate, field + "_utc", None)
    return aware if aware else getattr(certificate, field).replace(tzinfo=datetime.timezone.utc)


def date_text(moment):
    return moment.strftime("%Y-%m-%d %H:%M:%SZ")


def valid_at(certificate, now):
    return valid_from(certificate) <= now <= valid_to(certificate)


def self_signed(certificate):
    return certificate.issuer == certificate.subject


def extension(certificate, kind):
    try:
        return certificate.extensions.get_extension_for_class(kind).value
    except x509.ExtensionNotFound:
        return None


def thumbprint(certificate):
    return certificate.fingerprint(hashes.SHA1()).hex().upper()


# Of the certificates of the key (a renewal beside the one it renews), the
# first valid now; else the first, which the checks then refuse.
def choose_signer(certificates, key, now):
    of_key = [c for c in certificates if same_key(c, key)]
    if not of_key:
        return None
    return next((c for c in of_key if valid_at(c, now)), of_key[0])


def check_signer(signer, now):
    which = f"the signing certificate ({name_text(signer.subject)})"
    if now < valid_from(signer):
        raise Refusal(f"{which} is not valid before {date_text(valid_from(signer))}")
    if now > valid_to(signer):
        raise Refusal(f"{which} expired on {date_text(valid_to(signer))}")
    usages = extension(signer, x509.ExtendedKeyUsage)
    if usages is not None:
        dotted = [usage.dotted_string for usage in usages]
        if ExtendedKeyUsageOID.CODE_SIGNING.dotted_string not in dotted:
            named = ", ".join(USAGE_NAMES.get(oid, oid) for oid in dotted)
            raise Refusal(f"{which} is not meant for code signing: its extended key usage is {named}")
        if LIFETIME_SIGNING in dotted:
            raise Refusal(
                f"{which} has the Lifetime Signing usage ({LIFETIME_SIGNING}): Windows stops trusting"
                " its signatures the day it expires, timestamp or not; sign with a certificate without it")
    usage = extension(signer, x509.KeyUsage)
    if usage is not None and not usage.digital_signature:
        named = ", ".join(text for attribute, text in KEY_USAGE_NAMES if getattr(usage, attribute))
        raise Refusal(f"{which} is not meant for code signing: its key usage is {named}")


# The signer first, then every other certificate but those of the same key,
# so that osslsigncode, which signs with the first certificate of the key,
# signs with the one chosen. Unless the signer is self-signed, its issuer must
# be there: without it, Windows shows "Unknown publisher" where it cannot fetch
# the issuer itself.
def chain(signer, certificates, certificates_path):
    others = [c for c in certificates if not same_key(c, signer.public_key())]
    if not self_signed(signer) and not any(c.subject == signer.issuer for c in others):
        raise Refusal(
            f"{certificates_path} does not hold the certificate of the signer's issuer"
            f" ({name_text(signer.issuer)}): add the intermediate certificate that your"
            " certificate authority issued with it")
    return [signer] + others


def pem(certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


def command_signer(certificates_path, key_text, public_key_path, chain_out, signer_out):
    certificates = load_certificates(certificates_path)
    now = datetime.datetime.now(datetime.timezone.utc)
    signer = choose_signer(certificates, load_public_key(public_key_path), now)
    if signer is None:
        held = "; ".join(name_text(c.subject) for c in certificates)
        raise Refusal(f"no certificate in {certificates_path} is that of the key {key_text}; it holds: {held}")
    check_signer(signer, now)
    open(chain_out, "wb").write(pem(chain(signer, certificates, certificates_path)))
    open(signer_out, "wb").write(pem([signer]))


# A signature as osslsigncode extract-signature -pem writes it (without -pem,
# osslsigncode 2.5 writes the certificate table's entry, not the PKCS #7).
def read_signature(path):
    text = open(path, "rb").read()
    found = re.search(rb"-----BEGIN PKCS7-----(.*?)-----END PKCS7-----", text, re.S)
    if not found:
        raise ValueError("no PKCS #7 signature")
    return base64.b64decode(found.group(1))


def command_signature_key(certificates_path, signature_path, public_key_out):
    issuer, serial = signer_identity(read_signature(signature_path))
    for certificate in load_certificates(certificates_path):
        if certificate.serial_number == serial and issuer_der(certificate) == issuer:
            open(public_key_out, "wb").write(certificate.public_key().public_bytes(
                serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
            return
    sys.exit(1)


def command_check_signed(signer_path, signature_path, stamped_by):
    signer = load_certificates(signer_path)[0]
    try:
        signature = read_signature(signature_path)
        identity = signer_identity(signature)
    except ValueError:
        raise Refusal("the signature of the signed file cannot be read")
    if identity != (issuer_der(signer), signer.serial_number):
        raise Refusal("the signature names another signer than the certificate chosen"
                      f" ({name_text(signer.subject)})")
    if stamped_by and RFC3161_TIMESTAMP not in unsigned_attribute_types(signature):
        raise Refusal(f"the signed file carries no timestamp, though {stamped_by} answered")


def command_publication(signer_path):
    signer = load_certificates(signer_path)[0]
    print(thumbprint(signer))
    print(f"Subject: {name_text(signer.subject)}")
    print(f"Issuer: {name_text(signer.issuer)}")
    print(f"Valid from: {date_text(valid_from(signer))}")
    print(f"Valid to: {date_text(valid_to(signer))}")


# --- The signer's identity in a PKCS #7 signature, read from its DER. ---

def der_items(data, offset=0, end=None):
    """Yields (tag, start, content_start, end) of each item in data[offset:end]."""
    end = len(data) if end is None else end
    while offset < end:
        start, tag, length = offset, data[offset], data[offset + 1]
        offset += 2
        if length & 0x80:
            count = length & 0x7F
            if count == 0 or count > 4 or offset + count > end:
                raise ValueError("not DER")
            length = int.from_bytes(data[offset:offset + count], "big")
            offset += count
        if offset + length > end:
            raise ValueError("not DER")
        yield tag, start, offset, offset + length
        offset += length


def children(data, item):
    return list(der_items(data, item[2], item[3]))


def first_signer_info(signature):
    try:
        content_info = children(signature, next(der_items(signature)))
        signed_data = children(signature, children(signature, content_info[1])[0])
        signer_infos = signed_data[-1]
        if signer_infos[0] != 0x31:
            raise ValueError("no signer infos")
        return children(signature, children(signature, signer_infos)[0])
    except (IndexError, StopIteration):
        raise ValueError("not a PKCS #7 signature")


def signer_identity(signature):
    """(issuer DER, serial) of the signature's first signer."""
    issuer, serial = children(signature, first_signer_info(signature)[1])[:2]
    return (signature[issuer[1]:issuer[3]],
            int.from_bytes(signature[serial[2]:serial[3]], "big", signed=True))


def unsigned_attribute_types(signature):
    last = first_signer_info(signature)[-1]
    if last[0] != 0xA1:
        return set()
    return {oid_text(signature[oid[2]:oid[3]])
            for oid in (children(signature, attribute)[0] for attribute in children(signature, last))}


def issuer_der(certificate):
    return certificate.issuer.public_bytes()


def oid_text(encoded):
    first, rest = divmod(encoded[0], 40) if encoded[0] < 80 else (2, encoded[0] - 80)
    parts, value = [first, rest], 0
    for byte in encoded[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(map(str, parts))


COMMANDS = {
    "holds": (load_certificates, 1),
    "signer": (command_signer, 5),
    "signature-key": (command_signature_key, 3),
    "check-signed": (command_check_signed, 3),
    "publication": (command_publication, 1),
}


def main(arguments):
    command, count = COMMANDS.get(arguments[0] if arguments else "", (None, 0))
    if command is None or len(arguments) != count + 1:
        sys.exit(__doc__)
    try:
        command(*arguments[1:])
        return 0
    except Refusal as refusal:
        print(refusal, file=sys.stderr)
        return 3


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
