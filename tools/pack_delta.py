#!/usr/bin/env python3
"""The packer's delta package: for each changed file, patches from the versions the update
starts from instead of the whole file; and beside it the full package, every file whole.
    pack_delta.py plan --from DIR [--from DIR]... [--whole NAME]... TOOL LISTS FILES_DIR WORK
    pack_delta.py pack LISTS FILES_DIR WORK FULL_EXE DELTA_EXE OUT [FULL_BUILT DELTA_BUILT]
plan decides how each listed file of FILES_DIR travels, makes the patches with TOOL ("TOOL make
OLD NEW PATCH"), rebuilds every new file from each of its patches with the exe's own decoder
("TOOL apply OLD PATCH OUT") and compares the bytes, and writes into WORK the manifests the two
exes are bound to (full.bin, delta.bin), the patches and the plan (plan.json). pack then writes
OUT, the delta package, and OUT with -full before .zip, exactly the package that packing
without --from writes, each with its manifest as .txt; FULL_BUILT and DELTA_BUILT are the exes
as built when the two given are signed. Exits 1 when the package is refused, having written
nothing; 2 on wrong use."""

import concurrent.futures
import json
import os
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

import pack_update as packer

# A patch saves little on a small file and the exe's rebuild has a cost of its own.
WHOLE_BELOW = 64 << 10
# Making a patch holds the whole base in memory several times over (its suffix array).
WHOLE_ABOVE = 1 << 30
# The updater's limits.
FILE_PATCH_LIMIT = 32
PATCH_LIMIT = 65536
# The bound manifest of a delta package: a header (tag, file count, file entry size, patch
# count, patch entry size), the file entries of the full package's manifest for every file
# carried, then the patches: the file's index, zero, the base's size and SHA-256, the patch
# file's size and SHA-256, by file and then in the order of their names' numbers.
DELTA_TAG = b"QUPDMAN2"
DELTA_HEADER = struct.Struct("<8sIIII")
PATCH_ENTRY = struct.Struct("<IIQ32sQ32s")


class Refused(Exception):
    pass


def labels_of(folders):
    """Each folder's name as the manifest gives it: its last component, or as many of its last
    components as tell it from the others'."""
    parts = [os.path.normpath(folder).split(os.sep) for folder in folders]
    for depth in range(1, max(len(path) for path in parts) + 1):
        labels = ["/".join(path[-depth:]) for path in parts]
        if len(set(labels)) == len(labels):
            return labels
    return [os.path.normpath(folder) for folder in folders]


def installed_copy(folder, name):
    """The file an installed folder holds under a listed name, found as Windows finds it, case
    ignored; None when there is no such file."""
    path = folder
    for part in name.split("/"):
        exact = os.path.join(path, part)
        if not os.path.lexists(exact):
            try:
                matches = [entry for entry in os.listdir(path)
                           if entry.casefold() == part.casefold()]
            except OSError:
                return None
            if len(matches) != 1:
                return None
            exact = os.path.join(path, matches[0])
        path = exact
    return path if os.path.isfile(path) else None


def deflated_size(path):
    """The file's bytes as the zip stores it whole: raw deflate at zlib's default level."""
    compressor = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
    size = 0
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            size += len(compressor.compress(block))
    return size + len(compressor.flush())


def same_bytes(path, other):
    with open(path, "rb") as first, open(other, "rb") as second:
        while True:
            block = first.read(1 << 20)
            if block != second.read(1 << 20):
                return False
            if not block:
                return True


def run_tool(tool, *arguments):
    try:
        run = subprocess.run([tool] + list(arguments), capture_output=True, text=True,
                             errors="replace")
    except OSError as error:
        return 127, str(error)
    return run.returncode, (run.stdout + run.stderr).strip()


class Planner:
    def __init__(self, froms, wholes, tool, files_dir, work):
        self.froms = froms
        self.labels = labels_of(froms)
        self.wholes = wholes
        self.tool = tool
        self.files_dir = files_dir
        self.patches = os.path.join(work, "patches")
        self.rebuilt = os.path.join(work, "rebuilt")
        self.deflating = concurrent.futures.ThreadPoolExecutor(1)

    def named(self, indexes):
        return ", ".join(self.labels[i] for i in indexes)

    def travel(self, name, info, digest):
        """How one file of the folder travels: unchanged, whole (with the reasons) or patched
        (with its patches, made and checked)."""
        path = os.path.join(self.files_dir, name)
        size = info.st_size
        record = {"name": name, "size": size, "sha256": digest, "travels": "whole",
                  "reasons": [], "new_in": [], "patches": []}
        copies = [installed_copy(folder, name) for folder in self.froms]
        sizes = [os.path.getsize(copy) if copy else None for copy in copies]
        digests = {}

        def copy_digest(i):
            if i not in digests:
                digests[i] = packer.digest(copies[i])
            return digests[i]

        def is_new(i):
            return sizes[i] == size and copy_digest(i) == digest

        absent = [i for i, copy in enumerate(copies) if copy is None]
        if not absent and all(is_new(i) for i in range(len(copies))):
            record["travels"] = "unchanged"
            return record
        reasons = record["reasons"]
        if absent:
            reasons.append("absent from " + self.named(absent))
        if size < WHOLE_BELOW:
            reasons.append("under 64 KiB")
        if name in self.wholes:
            reasons.append("named by --whole")
        if size > WHOLE_ABOVE:
            reasons.append("over 1 GiB")
        large = [i for i, copy_size in enumerate(sizes)
                 if copy_size is not None and copy_size > WHOLE_ABOVE]
        if large:
            reasons.append("over 1 GiB in " + self.named(large))
        if reasons:
            return record
        # Each distinct earlier content once, with the folders that hold it, in their order.
        bases = {}
        for i in range(len(copies)):
            if is_new(i):
                record["new_in"].append(self.labels[i])
            else:
                bases.setdefault(copy_digest(i), []).append(i)
        if len(bases) > FILE_PATCH_LIMIT:
            reasons.append("more than %d earlier versions" % FILE_PATCH_LIMIT)
            return record
        deflated = self.deflating.submit(deflated_size, path)
        patches = record["patches"]
        for number, (base_digest, holders) in enumerate(bases.items(), 1):
            entry_name = "%s.%d.qpatch" % (name, number)
            patch = os.path.join(self.patches, entry_name)
            os.makedirs(os.path.dirname(patch), exist_ok=True)
            status, said = run_tool(self.tool, "make", copies[holders[0]], path, patch)
            if status != 0 or not os.path.isfile(patch):
                raise Refused("the patch of %s from %s could not be made (%s exited with %d%s)"
                              % (name, self.named(holders), self.tool, status,
                                 ": " + said if said else ""))
            patches.append({"entry": entry_name, "from": [self.labels[i] for i in holders],
                            "base": copies[holders[0]], "base_size": sizes[holders[0]],
                            "base_sha256": base_digest, "size": os.path.getsize(patch)})
        record["deflated"] = deflated.result()
        total = sum(patch["size"] for patch in patches)
        if total >= record["deflated"]:
            reasons.append("patches not smaller (%d bytes)" % total)
            for patch in patches:
                os.remove(os.path.join(self.patches, patch["entry"]))
            record["patches"] = []
            return record
        for patch in patches:
            self.check(name, path, patch)
        record["travels"] = "patched"
        return record

    def check(self, name, path, patch):
        """The new file rebuilt from the patch by the exe's decoder must be the file."""
        patch_path = os.path.join(self.patches, patch["entry"])
        patch["sha256"] = packer.digest(patch_path)
        status, said = run_tool(self.tool, "apply", patch["base"], patch_path, self.rebuilt)
        rebuilt = status == 0 and os.path.isfile(self.rebuilt) and same_bytes(path, self.rebuilt)
        if os.path.exists(self.rebuilt):
            os.remove(self.rebuilt)
        if not rebuilt:
            raise Refused("%s rebuilt from its patch %s against %s is not the new file (%s)"
                          % (name, patch["entry"], ", ".join(patch["from"]),
                             "the rebuilt bytes differ" if status == 0 else
                             "%s exited with %d%s" % (self.tool, status,
                                                       ": " + said if said else "")))


def delta_manifest(files, listed_bytes, mtimes):
    moving = [record for record in files if record["travels"] != "unchanged"]
    patches = [(index, patch) for index, record in enumerate(moving)
               for patch in record["patches"]]
    data = DELTA_HEADER.pack(DELTA_TAG, len(moving), packer.BOUND_ENTRY.size, len(patches),
                             PATCH_ENTRY.size)
    for record in moving:
        written = packer.FILETIME_OF_UNIX_EPOCH + mtimes[record["name"]] * 10**7
        data += packer.BOUND_ENTRY.pack(listed_bytes[record["name"]], record["size"], written,
                                        bytes.fromhex(record["sha256"]))
    for index, patch in patches:
        data += PATCH_ENTRY.pack(index, 0, patch["base_size"],
                                 bytes.fromhex(patch["base_sha256"]), patch["size"],
                                 bytes.fromhex(patch["sha256"]))
    return data


def parse_plan(argv):
    froms, wholes, rest = [], [], list(argv)
    while rest and rest[0] in ("--from", "--whole") and len(rest) > 1:
        (froms if rest.pop(0) == "--from" else wholes).append(rest.pop(0))
    if not froms or len(rest) != 4:
        return None
    return froms, wholes, rest


def plan(argv):
    parsed = parse_plan(argv)
    if parsed is None:
        print(__doc__, file=sys.stderr)
        return 2
    froms, wholes, (tool, lists, files_dir, work) = parsed
    for folder in froms:
        if not os.path.isdir(folder):
            print("package: --from %s is not a folder" % folder, file=sys.stderr)
            return 2
    real = [os.path.realpath(folder) for folder in froms]
    for i, folder in enumerate(real):
        if folder in real[:i]:
            print("package: --from %s is given twice" % froms[i], file=sys.stderr)
            return 2
    if not os.path.isdir(files_dir):
        print("package: %s is not a folder" % files_dir, file=sys.stderr)
        return 2
    checked = packer.checked_folder(lists, files_dir)
    if checked is None:
        return 1
    folder, names, listed_bytes, carried, missing = checked
    wholes = [name.replace("\\", "/") for name in wholes]
    unknown = [name for name in wholes if name not in names]
    if unknown:
        print("package: --whole names what no list names: %s" % ", ".join(unknown),
              file=sys.stderr)
        return 2

    planner = Planner(froms, set(wholes), tool, files_dir, work)
    shutil.rmtree(planner.patches, ignore_errors=True)
    os.makedirs(planner.patches)
    digests = {name: packer.digest(os.path.join(files_dir, name)) for name, _ in carried}
    try:
        files = [planner.travel(name, info, digests[name]) for name, info in carried]
        count = sum(len(record["patches"]) for record in files)
        if count > PATCH_LIMIT:
            raise Refused("%d patches, over the %d the updater takes" % (count, PATCH_LIMIT))
        if all(record["travels"] == "unchanged" for record in files):
            raise Refused("every file of %s is the same in each --from folder, so there is "
                          "nothing to update" % files_dir)
    except (Refused, OSError) as refusal:
        print("package: %s%s; nothing was written"
              % ("refused, " if isinstance(refusal, Refused) else "", refusal), file=sys.stderr)
        shutil.rmtree(planner.patches, ignore_errors=True)
        return 1
    finally:
        planner.deflating.shutdown()
    mtimes = {name: int(info.st_mtime) for name, info in carried}
    packer.write_if_changed(os.path.join(work, "full.bin"),
                     packer.bound_manifest(carried, listed_bytes, digests))
    packer.write_if_changed(os.path.join(work, "delta.bin"),
                     delta_manifest(files, listed_bytes, mtimes))
    with open(os.path.join(work, "plan.json"), "w", encoding="utf-8") as target:
        json.dump({"froms": planner.labels, "files": files}, target, indent=1)
    return 0


def travel_lines(plan_files, labels, entries):
    """How each listed file travels, for the manifest: its patches and their bases, or why it
    is whole, with its bytes in the package against the file deflated whole."""
    lines = ["", "Patches from the earlier versions in %s (--from); each file's bytes in this "
             "package," % ", ".join(labels),
             "a patched one's against the file deflated whole:"]
    width = max([len(record["name"]) for record in plan_files] +
                [len(patch["entry"]) + 2 for record in plan_files
                 for patch in record["patches"]])
    for record in plan_files:
        name = record["name"]
        if record["travels"] == "unchanged":
            lines.append("  %-*s  unchanged, not carried" % (width, name))
        elif record["travels"] == "whole":
            lines.append("  %-*s  whole, %d bytes: %s" % (width, name, entries[name],
                                                           "; ".join(record["reasons"])))
        else:
            total = sum(patch["size"] for patch in record["patches"])
            line = "  %-*s  patched, %d bytes against %d" % (width, name, total,
                                                             record["deflated"])
            if record["new_in"]:
                line += "; new already in " + ", ".join(record["new_in"])
            lines.append(line)
            for patch in record["patches"]:
                lines.append("    %-*s  %d bytes from %s" % (width - 2, patch["entry"],
                                                            patch["size"],
                                                            ", ".join(patch["from"])))
    return lines


def package_size(archive):
    """The bytes of a package's updater and files, as the zip holds them."""
    return sum(info.compress_size for info in archive.infolist()
               if info.filename != "MANIFEST.txt")


def write_delta(output, files_dir, folder, exe, built_exe, plan_files, labels, carried,
                missing, listed_bytes, bound, digests, full_size, full_name):
    info_of = dict(carried)
    moving = [record for record in plan_files if record["travels"] != "unchanged"]
    with zipfile.ZipFile(output.partial, "w") as archive:
        packer.write_exe(archive, exe)
        packer.write_folders(archive, files_dir, folder, [record["name"] for record in moving])
        entries = {}
        for record in moving:
            name, info = record["name"], info_of[record["name"]]
            if record["travels"] == "whole":
                digest = packer.write_file(archive, os.path.join(files_dir, name),
                                           folder + "/" + name, int(info.st_mtime),
                                           info.st_size)
                if digest != digests[name]:
                    raise RuntimeError("%s changed while it was packed" % packer.shown(name))
                entries[name] = archive.getinfo(folder + "/" + name).compress_size
            for patch in record["patches"]:
                # Already compressed: stored, they take in the zip the bytes they were
                # weighed by.
                digest = packer.write_file(archive, patch["path"], folder + "/" + patch["entry"],
                                           int(info.st_mtime), patch["size"], compressed=False)
                if digest != patch["sha256"]:
                    raise RuntimeError("the patch %s changed since it was checked"
                                       % patch["entry"])
        mtimes = {name: int(info.st_mtime) for name, info in carried}
        if delta_manifest(plan_files, listed_bytes, mtimes) != bound:
            raise RuntimeError("the files changed since the updater was bound to them")
        size = package_size(archive)
        lines = travel_lines(plan_files, labels, entries)
        lines += ["", "Size: %d bytes of updater and files, against %d in the full package "
                  "%s (%.1f%%)" % (size, full_size, full_name, 100.0 * size / full_size)]
        manifest = packer.manifest_text(folder, exe, built_exe,
                                        [(record["name"], info_of[record["name"]])
                                         for record in moving],
                                        missing, digests, lines,
                                        "Files it installs in %s/, whole or rebuilt from "
                                        "patches (name, bytes, write time, SHA-256):" % folder)
        packer.write_manifest_entry(archive, manifest)
    output.write_manifest(manifest)


def pack(argv):
    if len(argv) not in (6, 8):
        print(__doc__, file=sys.stderr)
        return 2
    lists, files_dir, work, full_exe, delta_exe, out = argv[:6]
    full_built, delta_built = argv[6:8] if len(argv) == 8 else (None, None)
    checked = packer.checked_folder(lists, files_dir)
    if checked is None:
        return 1
    folder, _, listed_bytes, carried, missing = checked
    with open(os.path.join(work, "plan.json"), encoding="utf-8") as source:
        planned = json.load(source)
    for record in planned["files"]:
        for patch in record["patches"]:
            patch["path"] = os.path.join(work, "patches", patch["entry"])
    full_out = out[:-len(".zip")] + "-full.zip"
    full, delta = packer.Output(full_out), packer.Output(out)
    try:
        if [record["name"] for record in planned["files"]] != [name for name, _ in carried]:
            raise RuntimeError("the files changed since the patches were made")
        digests = {record["name"]: record["sha256"] for record in planned["files"]}
        packer.write_package(full, files_dir, folder, full_exe, full_built, carried, missing,
                             listed_bytes,
                             packer.bound_bytes_of(full_exe, os.path.join(work, "full.bin")))
        with zipfile.ZipFile(full.partial) as archive:
            full_size = package_size(archive)
        write_delta(delta, files_dir, folder, delta_exe, delta_built, planned["files"],
                    planned["froms"], carried, missing, listed_bytes,
                    packer.bound_bytes_of(delta_exe, os.path.join(work, "delta.bin")), digests,
                    full_size, os.path.basename(full_out))
        packer.put_in_place([full, delta])
    except (OSError, RuntimeError) as error:
        print("package: %s; nothing was written" % error, file=sys.stderr)
        return 1
    finally:
        full.discard()
        delta.discard()
    counts = {"patched": 0, "whole": 0, "unchanged": 0}
    for record in planned["files"]:
        counts[record["travels"]] += 1
    patches = sum(len(record["patches"]) for record in planned["files"])
    if missing:
        print("Not carried, so the updater will skip them: %s" % ", ".join(missing))
    print("Packed %s, %d patch%s for %d file%s and %d file%s whole of %s into %s (%d bytes), "
          "%d unchanged file%s left out; manifest %s"
          % (os.path.basename(delta_exe), patches, "" if patches == 1 else "es",
             counts["patched"], plural(counts["patched"]), counts["whole"],
             plural(counts["whole"]), folder, out, os.path.getsize(out), counts["unchanged"],
             plural(counts["unchanged"]), delta.manifest))
    print("Packed %s and %d file%s of %s whole into %s (%d bytes), for the installations "
          "that the patches do not fit; manifest %s"
          % (os.path.basename(full_exe), len(carried), plural(len(carried)), folder, full_out,
             os.path.getsize(full_out), full.manifest))
    return 0


def plural(count):
    return "" if count == 1 else "s"


def main(argv):
    if len(argv) > 1 and argv[1] == "plan":
        return plan(argv[2:])
    if len(argv) > 1 and argv[1] == "pack":
        return pack(argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
