#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The release's third-party notices, bill of materials (SPDX 2.3 JSON) and build information,
made from the linker maps of the build trees that produced the staged binaries, and the check
of an unpacked release against those maps.

  release_notices.py make STAGE TREE...   writes THIRD-PARTY-NOTICES.txt, BUILDINFO.txt and
                                          TarnvelBroker.spdx.json into STAGE (the SBOM last)
  release_notices.py check ROOT TREE...   fails unless ROOT's SBOM and notices name every
                                          archive the linker took for each shipped binary
  release_notices.py commit               the source commit as the build information names it

TREE is a build tree (build/win64, build/win32); its link-maps/ holds one map per shipped binary.
Facts come from the build: the maps say which archives went in, dpkg says which package each
came from and its version, the packages' copyright files give the licences and their texts.
"""
import fnmatch
import functools
import hashlib
import json
import os
import re
import subprocess
import sys
import time

SBOM = "TarnvelBroker.spdx.json"
NOTICES = "THIRD-PARTY-NOTICES.txt"
BUILDINFO = "BUILDINFO.txt"
SUMS = "SHA256SUMS"
# Each shipped binary by the CMake target whose map describes it.
BINARIES = {"TarnvelBroker": "TarnvelBroker.exe", "tarnvel-host": "tarnvel-host.exe", "tarnvel_host_dll": "TarnvelHost.dll"}
OWN_LICENCE = "Apache-2.0"

# What the toolchain links in. An archive or object is claimed by the first component whose
# 'archives' pattern its file name matches, and must come from a package matching 'packages'.
# A component's licence is stated (GCC's runtime: its copyright file is not machine-readable)
# or read from its package's machine-readable copyright file: every paragraph whose Files name a
# path under 'sources' but not under 'exclude'. The map names archive members, not source
# files, so a component carries every licence its sources' paragraphs give.
COMPONENTS = [
    {"name": "libstdc++", "upstream": "GCC libstdc++-v3", "archives": ["libstdc++.a"],
     "packages": r"^g\+\+-mingw-w64-(x86-64|i686)-posix$",
     "licence": "GPL-3.0-or-later WITH GCC-exception-3.1"},
    {"name": "libgcc", "upstream": "GCC libgcc, with its start and end objects",
     "archives": ["libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"],
     "packages": r"^gcc-mingw-w64-(x86-64|i686)-posix$",
     "licence": "GPL-3.0-or-later WITH GCC-exception-3.1"},
    {"name": "winpthreads", "upstream": "MinGW-w64 mingw-w64-libraries/winpthreads",
     "archives": ["libpthread.a", "libwinpthread.a"], "packages": r"^mingw-w64-(x86-64|i686)-dev$",
     "sources": ["mingw-w64-libraries/winpthreads/"], "exclude": ["mingw-w64-libraries/winpthreads/tests_pthread/"]},
    {"name": "MinGW-w64 runtime", "upstream": "MinGW-w64 mingw-w64-crt: start-up code, C runtime glue, import libraries",
     "archives": ["crt*.o", "dllcrt*.o", "lib*.a"], "packages": r"^mingw-w64-(x86-64|i686)-dev$",
     "sources": ["*", "mingw-w64-crt/"], "exclude": ["mingw-w64-crt/profile/"]},
]
# The copyright files' short names as SPDX identifiers; a LicenseRef carries its text in the SBOM.
DEBIAN_LICENCES = {
    "ZPL-2.1": "ZPL-2.1", "expat": "MIT", "BSD-3-clause": "BSD-3-Clause", "BSD-3-clause-Lockless": "BSD-3-Clause",
    "BSD-2-clause-NetBSD": "BSD-2-Clause", "ISC": "ISC", "public-domain": "LicenseRef-public-domain",
    "Lucent": "LicenseRef-Lucent", "David-Gay": "LicenseRef-David-Gay",
    "Permissive-Sun": "LicenseRef-Permissive-Sun", "Keith-Marshall": "LicenseRef-Keith-Marshall",
}
TOOLCHAIN = {"x64": ("x86_64-w64-mingw32", "x86-64"), "x86": ("i686-w64-mingw32", "i686")}


def fail(message):
    sys.exit("release-notices: " + message)


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def sha(path, algorithm="sha256"):
    with open(path, "rb") as f:
        return hashlib.new(algorithm, f.read()).hexdigest()


def tree_arch(tree):
    """The architecture a build tree was configured for, from its CMake cache."""
    with open(os.path.join(tree, "CMakeCache.txt")) as f:
        found = re.search(r"^CMAKE_C_COMPILER_AR:\w+=.*/([\w-]+?)-gcc-ar[\w-]*$", f.read(), re.M)
    arch = next((a for a, (triplet, _) in TOOLCHAIN.items() if found and found.group(1) == triplet), None)
    if not arch:
        fail(f"{tree} is not a MinGW-w64 build tree")
    return arch


def linked_inputs(map_path):
    """The archives the linker took members from, and the objects it loaded by themselves, in
    the order of the map: ld's map lists both, each path as the link command named it."""
    with open(map_path) as f:
        text = f.read()
    head = text.split("\nDiscarded input sections", 1)[0]
    inputs = []
    for path in re.findall(r"^(\S+\.a)\(", head, re.M) + re.findall(r"^LOAD (\S+\.o)$", text, re.M):
        path = os.path.normpath(path)
        if path not in inputs:
            inputs.append(path)
    if not inputs:
        fail(f"{map_path} lists no inputs")
    return inputs


def link_facts(trees):
    """{(arch, binary file name): [input paths]} from the maps of the build trees."""
    facts = {}
    for tree in trees:
        arch = tree_arch(tree)
        for target, binary in BINARIES.items():
            map_path = os.path.join(tree, "link-maps", target + ".map")
            if not os.path.exists(map_path):
                fail(f"{map_path} is missing: relink {target} (cmake --build {tree} --target {target})")
            facts[(arch, binary)] = linked_inputs(map_path)
    return facts


def dpkg_owners(paths):
    """{path: its Debian package, version, architecture and source package}, in two queries."""
    try:
        found = dict(reversed(line.split(": ", 1)) for line in run("dpkg-query", "-S", *sorted(set(paths))).splitlines())
    except subprocess.CalledProcessError:
        found = {}
    missing = sorted(set(paths) - set(found))
    if missing:
        fail(f"no Debian package owns {', '.join(missing)}, which the linker used")
    packages = sorted({owner.split(",")[0] for owner in found.values()})
    facts = {}
    for line in run("dpkg-query", "-W", "-f=${Package}\t${Version}\t${Architecture}\t${source:Package}\n", *packages).splitlines():
        package, version, deb_arch, source = line.split("\t")
        facts[package] = {"package": package, "version": version, "deb_arch": deb_arch, "source": source}
    return {path: facts[owner.split(",")[0]] for path, owner in found.items()}


def parse_dep5(path):
    """A machine-readable copyright file: its Files paragraphs and its stand-alone licence texts."""
    with open(path, encoding="utf-8") as f:
        paragraphs = [p for p in re.split(r"\n\s*\n", f.read()) if p.strip()]
    files, texts = [], {}
    for paragraph in paragraphs:
        fields, key = {}, None
        for line in paragraph.splitlines():
            if line[:1] in (" ", "\t") and key:
                fields[key] += "\n" + line.strip()
            elif ":" in line:
                key, value = line.split(":", 1)
                fields[key] = value.strip()
        if "License" not in fields:
            continue
        name, _, text = fields["License"].partition("\n")
        text = "\n".join("" if l == "." else l for l in text.splitlines())
        if "Files" in fields:
            files.append({"globs": fields["Files"].split(), "copyright": fields.get("Copyright", ""),
                          "names": [n for n in re.split(r"\s+and\s+|\s+or\s+", name.strip())], "text": text})
        elif text:
            texts[name.strip()] = text
    return files, texts


def under(glob, prefixes):
    return any(glob == p if p == "*" else glob.startswith(p) for p in prefixes)


def dep5_terms(component, copyright_path):
    """The component's licence names, copyright lines and texts from its package's copyright file."""
    files, texts = parse_dep5(copyright_path)
    chosen = [p for p in files if any(under(g, component["sources"]) and not under(g, component["exclude"])
                                      for g in p["globs"])]
    names = sorted({n for p in chosen for n in p["names"]})
    unknown = [n for n in names if n not in DEBIAN_LICENCES]
    if unknown:
        fail(f"{copyright_path}: licence {', '.join(unknown)} of {component['name']} has no SPDX identifier here")
    body = {}
    for p in chosen:
        for n in p["names"]:
            body.setdefault(n, p["text"] or texts.get(n, ""))
    notice = [f"Files: {' '.join(p['globs'])}\nCopyright: {p['copyright'].replace(chr(10), chr(10) + ' ' * 11)}\n"
              f"License: {' and '.join(p['names'])}" for p in chosen]
    return names, notice, body


def gcc_terms(copyright_path):
    """GCC's runtime exception and its copyright statement, from the free-form copyright file."""
    with open(copyright_path, encoding="utf-8") as f:
        text = f.read()
    statement = re.search(r"^GCC is Copyright.*?\n\n.*?\n\n", text, re.M | re.S)
    exception = re.search(r"^GCC RUNTIME LIBRARY EXCEPTION\n.*?requirements of the license of GCC\.\n", text, re.M | re.S)
    if not statement or not exception:
        fail(f"{copyright_path} no longer holds GCC's copyright statement and runtime exception")
    with open("/usr/share/common-licenses/GPL-3", encoding="utf-8") as f:
        gpl = f.read()
    return statement.group(0).strip(), exception.group(0).strip(), gpl.strip()


def classify(facts, version):
    """Every input of every binary as an item: a toolchain archive's component, package, version,
    licence and texts, or the project's own code."""
    items = {}
    owners = dpkg_owners([p for inputs in facts.values() for p in inputs if os.path.isabs(p)])
    for (arch, _), inputs in sorted(facts.items()):
        for path in inputs:
            if (arch, path) in items:
                continue
            base = os.path.basename(path)
            if not os.path.isabs(path):
                items[(arch, path)] = {"arch": arch, "file": base, "path": path, "component": "TarnvelBroker",
                                       "version": version, "licence": OWN_LICENCE, "own": True}
                continue
            component = next((c for c in COMPONENTS if any(fnmatch.fnmatchcase(base, a) for a in c["archives"])), None)
            if component is None:
                fail(f"{path} (linked for {arch}) belongs to no component: name it in {os.path.basename(__file__)}")
            owner = owners[path]
            if not re.match(component["packages"], owner["package"]):
                fail(f"{path} comes from {owner['package']}, not from a package of {component['name']}")
            items[(arch, path)] = dict(owner, arch=arch, file=base, path=path, component=component["name"],
                                       upstream=component["upstream"], sha256=sha(path), sha1=sha(path, "sha1"),
                                       facts=component, own=False)
    return items


def licence_terms(items):
    """Per component and package: its SPDX expression, notice lines and licence texts."""
    terms = {}
    for item in items.values():
        if item["own"] or (item["component"], item["package"]) in terms:
            continue
        facts, copyright_path = item["facts"], f"/usr/share/doc/{item['package']}/copyright"
        if "licence" in facts:
            statement, exception, gpl = gcc_terms(copyright_path)
            entry = {"expression": facts["licence"], "notice": [statement],
                     "texts": {"GCC-exception-3.1": exception, "GPL-3.0-or-later": gpl}}
        else:
            names, notice, body = dep5_terms(facts, copyright_path)
            ids = sorted({DEBIAN_LICENCES[n] for n in names})
            entry = {"expression": " AND ".join(ids), "notice": notice,
                     "texts": {DEBIAN_LICENCES[n]: body[n] for n in names}}
        terms[(item["component"], item["package"])] = entry
    for item in items.values():
        item["licence"] = OWN_LICENCE if item["own"] else terms[(item["component"], item["package"])]["expression"]
    return terms


def spdx_id(*parts):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", "-".join(parts).replace("+", "x"))


def staged_files(stage):
    found = []
    for top, _, names in os.walk(stage):
        found += [os.path.relpath(os.path.join(top, n), stage).replace(os.sep, "/") for n in names]
    return sorted(found, key=lambda p: p.encode())


def project_version():
    with open("CMakeLists.txt") as f:
        return re.search(r"^project\(TarnvelBroker VERSION (\S+)", f.read(), re.M).group(1)


def source_commit():
    if os.environ.get("TARNVEL_SOURCE_COMMIT"):
        return os.environ["TARNVEL_SOURCE_COMMIT"]
    try:
        commit = run("git", "rev-parse", "HEAD").strip()
        dirty = run("git", "status", "--porcelain", "--untracked-files=no").strip()
    except (subprocess.CalledProcessError, FileNotFoundError):
        return "unknown (not a git checkout; set TARNVEL_SOURCE_COMMIT)"
    return commit + ("-dirty" if dirty else "")


def write_notices(stage, facts, items, terms, version):
    out = [f"Third-party software in TarnvelBroker {version}", "",
           "The programs and the DLL of this release are linked statically with the components below.",
           "The lists are made from the linker's map of each binary; versions are those of the Debian",
           "packages the archives came from; licences are SPDX expressions. Our own code is Apache-2.0",
           "(LICENSE). TarnvelBroker.spdx.json says the same, with checksums.", ""]
    for (arch, binary), inputs in sorted(facts.items()):
        out.append(f"bin/{arch}/{binary}")
        by_component = {}
        for path in inputs:
            item = items[(arch, path)]
            if not item["own"]:
                by_component.setdefault((item["component"], item["package"], item["version"], item["licence"]), []).append(item["file"])
        for (component, package, pkg_version, licence), files in sorted(by_component.items()):
            out.append(f"  {component} {pkg_version} ({package}): {licence}")
            out.append(f"    archives: {', '.join(sorted(files))}")
        out.append("")
    # Both architectures' packages share one copyright text; each text is given once.
    seen, given = set(), {}
    for (component, package), entry in sorted(terms.items()):
        if component in seen:
            continue
        seen.add(component)
        out += ["=" * 78, f"{component}: {entry['expression']}", "=" * 78, ""]
        out += [line for notice in entry["notice"] for line in (notice, "")]
        for name, text in sorted(entry["texts"].items()):
            out += [f"--- {name} ---", given[(name, text)] if (name, text) in given else text, ""]
            given.setdefault((name, text), f"(the text given above for {component})")
    with open(os.path.join(stage, NOTICES), "w", encoding="utf-8") as f:
        f.write("\n".join(out).rstrip() + "\n")


def ninja_flags(tree, target):
    """The compile and link flags of one shipped target, with its folders named generically."""
    with open(os.path.join(tree, "build.ninja")) as f:
        text = f.read()
    with open(os.path.join(tree, "CMakeCache.txt")) as f:
        source = re.search(r"^CMAKE_HOME_DIRECTORY:\w+=(.*)$", f.read(), re.M).group(1)
    generic = lambda s: s.replace(os.path.abspath(tree) + "/", "<build>/").replace(source + "/", "<source>/")
    rule = re.escape(target)
    compiled = re.search(r"^build [^:\n]+: CXX_COMPILER__" + rule + r"_\S*[^\n]*\n(?:  [^\n]*\n)*?  FLAGS = ([^\n]*)", text, re.M)
    linked = re.search(r"^build [^:\n]+: CXX_(?:EXECUTABLE|SHARED_LIBRARY)_LINKER__" + rule + r"_\S*[^\n]*\n(?:  [^\n]*\n)*?  LINK_FLAGS = ([^\n]*)", text, re.M)
    return generic(compiled.group(1)) if compiled else "?", generic(linked.group(1)) if linked else "?"


def write_buildinfo(stage, trees, commit, epoch, version):
    created = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch))
    with open("/etc/os-release") as f:
        system = re.search(r'^PRETTY_NAME="?([^"\n]*)', f.read(), re.M).group(1)
    out = [f"TarnvelBroker {version}: how this release was built", "",
           f"commit: {commit}", f"SOURCE_DATE_EPOCH: {epoch} ({created})", f"built on: {system}", "",
           "toolchain (Debian packages):"]
    packages = ["cmake", "ninja-build", "llvm", "python3"]
    for arch in sorted(tree_arch(t) for t in trees):
        triplet, deb = TOOLCHAIN[arch]
        packages += [f"g++-mingw-w64-{deb}-posix", f"gcc-mingw-w64-{deb}-posix", f"binutils-mingw-w64-{deb}", f"mingw-w64-{deb}-dev"]
    for package in packages:
        out.append(f"  {package} {run('dpkg-query', '-W', '-f=${Version}', package)}")
    for tree in trees:
        arch = tree_arch(tree)
        triplet = TOOLCHAIN[arch][0]
        out += ["", f"{arch} ({tree}):",
                f"  compiler: {run(triplet + '-g++-posix', '--version').splitlines()[0]}",
                f"  binutils: {run(triplet + '-ld', '--version').splitlines()[0]}"]
        for target, binary in BINARIES.items():
            compile_flags, link_flags = ninja_flags(tree, target)
            out += [f"  {binary} compile flags: {compile_flags}", f"  {binary} link flags: {link_flags}"]
    out += ["", "What makes the build reproducible:",
            "  -ffile-prefix-map=<source>/= and -ffile-prefix-map=<build>/=: no folder of the build in a binary;",
            "  -Wl,--no-insert-timestamp: no link time in a PE header;",
            "  -Wl,--disable-auto-image-base (TarnvelHost.dll): a fixed preferred base, not one from its path;",
            "  -static -static-libgcc -static-libstdc++: the runtime comes from the packages above, not from the machine;",
            "  zip entries in byte order, dated from SOURCE_DATE_EPOCH, with fixed permissions;",
            "  no time and no random number in the notices and the SBOM (its namespace is its files' digest).",
            "", "To rebuild byte for byte, on the system above with the packages above (scripts/setup.sh):",
            f"  git checkout {commit.split('-')[0]}",
            f"  SOURCE_DATE_EPOCH={epoch} scripts/package.sh",
            f"  then compare the new zip's SHA256SUMS with this one's (or the zips themselves).", ""]
    with open(os.path.join(stage, BUILDINFO), "w", encoding="utf-8") as f:
        f.write("\n".join(out))


def write_sbom(stage, facts, items, terms, version, commit, epoch):
    files = [p for p in staged_files(stage) if p not in (SBOM, SUMS)]
    release = spdx_id("Package", "TarnvelBroker")
    sha1s = {p: sha(os.path.join(stage, p), "sha1") for p in files}
    file_ids = {p: spdx_id("File", p) for p in files}
    linked = {}
    for (arch, binary), inputs in facts.items():
        linked[f"bin/{arch}/{binary}"] = [items[(arch, path)] for path in inputs]
    licence_of = lambda expressions: " AND ".join(
        f"({e})" if re.search(r" (AND|OR) ", e) else e for e in sorted(set(expressions)))
    spdx_files = []
    for p in files:
        if p in linked:
            concluded = licence_of([OWN_LICENCE] + [i["licence"] for i in linked[p]])
        elif p in (NOTICES, BUILDINFO):
            concluded = "NOASSERTION"
        else:
            concluded = OWN_LICENCE
        spdx_files.append({"fileName": "./" + p, "SPDXID": file_ids[p],
                           "checksums": [{"algorithm": "SHA1", "checksumValue": sha1s[p]},
                                         {"algorithm": "SHA256", "checksumValue": sha(os.path.join(stage, p))}],
                           "licenseConcluded": concluded, "copyrightText": "NOASSERTION"})
    packages = [{"name": "TarnvelBroker", "SPDXID": release, "versionInfo": version,
                 "supplier": "Organization: TarnvelBroker", "downloadLocation": "NOASSERTION",
                 "filesAnalyzed": True, "packageFileName": f"TarnvelBroker-{version}.zip",
                 "packageVerificationCode": {
                     "packageVerificationCodeValue": hashlib.sha1("".join(sorted(sha1s.values())).encode()).hexdigest(),
                     "packageVerificationCodeExcludedFiles": ["./" + SBOM, "./" + SUMS]},
                 "licenseConcluded": OWN_LICENCE, "licenseDeclared": OWN_LICENCE, "copyrightText": "NOASSERTION",
                 "sourceInfo": f"built from commit {commit} with SOURCE_DATE_EPOCH={epoch} (BUILDINFO.txt)",
                 "hasFiles": [file_ids[p] for p in files]}]
    relationships = [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES", "relatedSpdxElement": release}]
    item_ids = {}
    for key, item in sorted(items.items()):
        item_ids[key] = spdx_id(item["arch"], "own" if item["own"] else "toolchain", item["file"])
        package = {"name": item["file"], "SPDXID": item_ids[key], "versionInfo": item["version"],
                   "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
                   "primaryPackagePurpose": "LIBRARY" if item["file"].endswith(".a") else "FILE",
                   "licenseConcluded": item["licence"], "licenseDeclared": item["licence"], "copyrightText": "NOASSERTION"}
        if item["own"]:
            package.update(supplier="Organization: TarnvelBroker", summary=f"TarnvelBroker's own code ({item['arch']})",
                           sourceInfo=f"built from this release's sources as {item['path']}")
        else:
            package.update(supplier="Organization: Debian", packageFileName=item["path"],
                           summary=f"{item['component']} ({item['arch']})",
                           checksums=[{"algorithm": "SHA1", "checksumValue": item["sha1"]},
                                      {"algorithm": "SHA256", "checksumValue": item["sha256"]}],
                           sourceInfo=f"{item['upstream']}; Debian package {item['package']} {item['version']} "
                                      f"(source {item['source']})",
                           externalRefs=[{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                                          "referenceLocator": f"pkg:deb/debian/{item['package']}@{item['version']}"
                                                              f"?arch={item['deb_arch']}"}])
        packages.append(package)
    for p, linked_items in sorted(linked.items()):
        relationships.append({"spdxElementId": release, "relationshipType": "CONTAINS", "relatedSpdxElement": file_ids[p]})
        for item in linked_items:
            relationships.append({"spdxElementId": file_ids[p], "relationshipType": "STATIC_LINK",
                                  "relatedSpdxElement": item_ids[(item["arch"], item["path"])]})
    refs = {}
    for entry in terms.values():
        for name, text in entry["texts"].items():
            if name.startswith("LicenseRef-"):
                refs.setdefault(name, text)
    digest = hashlib.sha256("".join(f"{sha(os.path.join(stage, p))}  {p}\n" for p in files).encode()).hexdigest()
    document = {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"TarnvelBroker-{version}",
        "documentNamespace": f"https://tarnvelbroker.invalid/spdx/TarnvelBroker-{version}-{digest}",
        "comment": f"Lists every file of the release zip but this document and {SUMS}, which lists this one.",
        "creationInfo": {"created": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
                         "creators": ["Tool: TarnvelBroker scripts/release_notices.py", "Organization: TarnvelBroker"]},
        "hasExtractedLicensingInfos": [{"licenseId": k, "extractedText": v or k, "name": k[len("LicenseRef-"):]}
                                       for k, v in sorted(refs.items())],
        "packages": packages, "files": spdx_files, "relationships": relationships}
    with open(os.path.join(stage, SBOM), "w", encoding="utf-8") as f:
        json.dump(document, f, indent=1, ensure_ascii=False)
        f.write("\n")


def make(stage, trees):
    version = project_version()
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
    commit = source_commit()
    facts = link_facts(trees)
    shipped = {p for p in staged_files(stage) if re.match(r"bin/[^/]+/[^/]+\.(exe|dll)$", p)}
    described = {f"bin/{arch}/{binary}" for arch, binary in facts}
    if shipped != described:
        fail(f"the staged binaries {sorted(shipped)} are not those the maps describe {sorted(described)}")
    items = classify(facts, version)
    terms = licence_terms(items)
    write_notices(stage, facts, items, terms, version)
    write_buildinfo(stage, trees, commit, epoch, version)
    write_sbom(stage, facts, items, terms, version, commit, epoch)
    for (arch, binary), inputs in sorted(facts.items()):
        third = sorted({f"{items[(arch, p)]['component']} ({items[(arch, p)]['licence']})" for p in inputs if not items[(arch, p)]["own"]})
        print(f"release-notices: bin/{arch}/{binary}: {'; '.join(third)}")


@functools.lru_cache(maxsize=None)
def spdx_licensing():
    from license_expression import get_spdx_licensing  # Debian's python3-license-expression

    return get_spdx_licensing()


def licence_errors(expression, declared):
    """Why an SPDX licence expression is not valid, or nothing; a LicenseRef must be declared."""
    if expression in ("NOASSERTION", "NONE"):
        return []
    info = spdx_licensing().validate(expression, strict=True)
    refs = set(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", expression))
    errors = [e for e in info.errors if not (e.startswith("Unknown license key(s):") and
                                             set(e.split(":", 1)[1].replace(",", " ").split()) <= refs)]
    return errors + [f"{r} is not declared in hasExtractedLicensingInfos" for r in sorted(refs - declared)]


def check(root, trees):
    problems = []
    with open(os.path.join(root, SBOM), encoding="utf-8") as f:
        document = json.load(f)
    for key, value in (("spdxVersion", "SPDX-2.3"), ("dataLicense", "CC0-1.0"), ("SPDXID", "SPDXRef-DOCUMENT")):
        if document.get(key) != value:
            problems.append(f"{key} is {document.get(key)!r}, not {value!r}")
    for key in ("name", "documentNamespace", "creationInfo", "packages", "files", "relationships"):
        if not document.get(key):
            problems.append(f"the SBOM has no {key}")
    elements = {e["SPDXID"]: e for e in document.get("packages", []) + document.get("files", [])}
    elements["SPDXRef-DOCUMENT"] = document
    for r in document.get("relationships", []):
        for end in (r["spdxElementId"], r["relatedSpdxElement"]):
            if end not in elements:
                problems.append(f"relationship {r['relationshipType']} names {end}, which the SBOM does not hold")

    # Every file but the SBOM and SHA256SUMS, with its checksum; SHA256SUMS lists the rest.
    on_disk = set(staged_files(root))
    listed = {f["fileName"][2:]: f for f in document.get("files", [])}
    for p in sorted(on_disk - {SBOM, SUMS} - set(listed)):
        problems.append(f"{p} is in the release but not in the SBOM")
    for p in sorted(set(listed) - on_disk):
        problems.append(f"the SBOM lists {p}, which the release lacks")
    for p in sorted(set(listed) & on_disk):
        sums = {c["algorithm"]: c["checksumValue"] for c in listed[p].get("checksums", [])}
        if sums.get("SHA256") != sha(os.path.join(root, p)):
            problems.append(f"the SBOM's SHA-256 of {p} is not the file's")
    with open(os.path.join(root, SUMS)) as f:
        summed = {line.split("  ", 1)[1].rstrip("\n") for line in f if line.strip()}
    if summed != on_disk - {SUMS}:
        problems.append(f"{SUMS} does not list exactly the release's other files: {sorted(summed ^ (on_disk - {SUMS}))}")

    # Every input of every shipped binary, by the build trees' own maps.
    with open(os.path.join(root, NOTICES), encoding="utf-8") as f:
        notices = f.read()
    sections = {s.split("\n", 1)[0]: s for s in notices.split("\n\n")}
    links = {}
    for r in document.get("relationships", []):
        if r["relationshipType"] == "STATIC_LINK" and r["relatedSpdxElement"] in elements:
            links.setdefault(r["spdxElementId"], []).append(elements[r["relatedSpdxElement"]])
    facts = link_facts(trees)
    owners = dpkg_owners([p for inputs in facts.values() for p in inputs if os.path.isabs(p)])
    components = {}
    for (arch, binary), inputs in sorted(facts.items()):
        name = f"bin/{arch}/{binary}"
        if name not in listed:
            problems.append(f"{name} is not in the SBOM")
            continue
        took = links.get(listed[name]["SPDXID"], [])
        section = sections.get(name, "")
        for path in inputs:
            base = os.path.basename(path)
            if not os.path.isabs(path):
                if not any(p["name"] == base and p["licenseConcluded"] == OWN_LICENCE for p in took):
                    problems.append(f"{name}: our {base} is not a component in the SBOM")
                continue
            owner = owners[path]
            match = [p for p in took if p.get("packageFileName") == path]
            if not match:
                problems.append(f"{name}: {path} is not a component in the SBOM")
            elif match[0]["versionInfo"] != owner["version"] or \
                    {c["algorithm"]: c["checksumValue"] for c in match[0].get("checksums", [])}.get("SHA256") != sha(path):
                problems.append(f"{name}: the SBOM's version or checksum of {path} is not the installed one's")
            else:
                components.setdefault(name, set()).add(f"{match[0]['summary'].rsplit(' (', 1)[0]} ({match[0]['licenseConcluded']})")
            if not re.search(r"archives: (.*, )?" + re.escape(base) + r"(,|$)", section, re.M):
                problems.append(f"{name}: {base} is not in {NOTICES}")
    for p in document.get("packages", []):
        heading = p.get("summary", "").rsplit(" (", 1)[0]
        if p.get("supplier") == "Organization: Debian" and f"\n{heading}: {p['licenseConcluded']}\n" not in notices:
            problems.append(f"{NOTICES} gives no licence text for {heading} ({p['licenseConcluded']})")

    declared = {e["licenseId"] for e in document.get("hasExtractedLicensingInfos", [])}
    for e in sorted(elements.values(), key=lambda e: e["SPDXID"]):
        for key in ("licenseConcluded", "licenseDeclared"):
            for error in licence_errors(e[key], declared) if key in e else []:
                problems.append(f"{e['SPDXID']} {key} {e[key]!r}: {error}")
    if problems:
        fail("the release's SBOM and notices do not match its build:\n  " + "\n  ".join(problems))
    for name, found in sorted(components.items()):
        print(f"release-notices: {name}: {'; '.join(sorted(found))}")
    print(f"release-notices: {len(listed)} files with their checksums; every archive of {len(facts)} binaries "
          f"in the SBOM and the notices; {len(elements) - 1} licence expressions valid")


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "commit":
        print(source_commit())
    elif len(sys.argv) >= 4 and sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3:])
    elif len(sys.argv) >= 4 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
