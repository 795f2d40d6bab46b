"""Writes the package's SBOM, an SPDX 2.3 JSON document: the files that ship,
with their checksums, and the toolchain parts linked statically into
Quarvane.exe, each with the Debian package and version it was built from.

    sbom.py PACKAGE_NAME VERSION EPOCH PARTS FOLDER OUTPUT FILE...

PARTS is the parts list that third_party_notices.sh writes; FILE... are the
shipped files, in FOLDER. Every value comes from its inputs, EPOCH included,
so the same inputs give the same bytes.
"""
import datetime
import hashlib
import json
import os
import re
import sys
from urllib.parse import quote

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]+", "-", text).strip("-")


def digests(path):
    data = open(path, "rb").read()
    return [{"algorithm": "SHA1", "checksumValue": hashlib.sha1(data).hexdigest()},
            {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}]


# One part of the toolchain, versioned as the Debian package it comes from.
def runtime_part(line):
    name, package, version, licence = line.rstrip("\n").split("\t")
    short_name = name.split(" (")[0]
    declared = GCC_RUNTIME if "GCC Runtime Library Exception" in licence else "NOASSERTION"
    purl = f"pkg:deb/debian/{quote(package, safe='')}@{quote(version, safe='')}"
    return {
        "SPDXID": spdx_id("Package-" + short_name),
        "name": short_name,
        "versionInfo": version,
        "supplier": "Organization: Debian",
        "downloadLocation": "NOASSERTION",
        "filesAnalyzed": False,
        "licenseConcluded": "NOASSERTION",
        "licenseDeclared": declared,
        "copyrightText": "NOASSERTION",
        "sourceInfo": f"Debian package {package} {version}",
        "comment": f"{name}; linked statically into Quarvane.exe. Debian's licences: {licence}",
        "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                          "referenceLocator": purl}],
    }


def document(package_name, version, epoch, parts_path, folder, files):
    created = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    shipped = [{"SPDXID": spdx_id("File-" + name), "fileName": "./" + name,
                "checksums": digests(os.path.join(folder, name)),
                "licenseConcluded": "NOASSERTION", "copyrightText": "NOASSERTION"}
               for name in files]
    parts = [runtime_part(line) for line in open(parts_path, encoding="utf-8")]
    product = spdx_id("Package-Quarvane")
    executable = spdx_id("File-Quarvane.exe")
    content = hashlib.sha256(b"".join(f["checksums"][1]["checksumValue"].encode() for f in shipped))
    return {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": package_name,
        "documentNamespace": f"https://quarvane.invalid/spdx/{package_name}-{content.hexdigest()}",
        "creationInfo": {"created": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
                         "creators": ["Tool: Quarvane release build"]},
        "packages": [{"SPDXID": product, "name": "Quarvane", "versionInfo": version,
                      "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
                      "licenseConcluded": "NOASSERTION", "licenseDeclared": "NOASSERTION",
                      "copyrightText": "NOASSERTION"}] + parts,
        "files": shipped,
        "relationships":
            [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
              "relatedSpdxElement": product}]
            + [{"spdxElementId": product, "relationshipType": "CONTAINS",
                "relatedSpdxElement": f["SPDXID"]} for f in shipped]
            + [{"spdxElementId": executable, "relationshipType": "STATIC_LINK",
                "relatedSpdxElement": part["SPDXID"]} for part in parts],
    }


def main(arguments):
    if len(arguments) < 7:
        sys.exit(__doc__)
    package_name, version, epoch, parts, folder, output = arguments[:6]
    text = json.dumps(document(package_name, version, epoch, parts, folder, arguments[6:]), indent=2)
    with open(output, "w", encoding="utf-8") as out:
        out.write(text + "\n")


if __name__ == "__main__":
    main(sys.argv[1:])
