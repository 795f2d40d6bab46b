"""Checks a package's SBOM against the files beside it.

    check_sbom.py FOLDER RUNTIME_VERSION WINPTHREADS_VERSION CREATED
"""
import hashlib
import json
import os
import sys

folder, runtime, pthreads, created = sys.argv[1:]
sbom = json.load(open(os.path.join(folder, "Quarvane.spdx.json")))
assert sbom["spdxVersion"] == "SPDX-2.3" and sbom["dataLicense"] == "CC0-1.0", sbom["spdxVersion"]
assert sbom["creationInfo"]["created"] == created, sbom["creationInfo"]
listed = {f["fileName"]: {c["algorithm"]: c["checksumValue"] for c in f["checksums"]}
          for f in sbom["files"]}
shipped = sorted(n for n in os.listdir(folder) if n not in ("Quarvane.spdx.json", "SHA256SUMS"))
assert sorted(name[2:] for name in listed) == shipped, (sorted(listed), shipped)
for name in shipped:
    data = open(os.path.join(folder, name), "rb").read()
    assert listed["./" + name]["SHA256"] == hashlib.sha256(data).hexdigest(), name
    assert listed["./" + name]["SHA1"] == hashlib.sha1(data).hexdigest(), name
versions = {p["name"]: p["versionInfo"] for p in sbom["packages"]}
assert versions["MinGW-w64 runtime"] == runtime and versions["winpthreads"] == pthreads, versions
related = {(r["spdxElementId"], r["relationshipType"], r["relatedSpdxElement"]) for r in sbom["relationships"]}
assert ("SPDXRef-DOCUMENT", "DESCRIBES", "SPDXRef-Package-Quarvane") in related, related
for file in sbom["files"]:
    assert ("SPDXRef-Package-Quarvane", "CONTAINS", file["SPDXID"]) in related, file["fileName"]
assert len([r for r in related if r[1] == "STATIC_LINK"]) == 4, related
print("the SBOM lists every file shipped, and the runtime at", runtime)
