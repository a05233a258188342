#!/usr/bin/env python3
"""Checks an update's files against the product's lists, binds them to the updater and packs
them with it.
    pack_update.py LISTS FILES_DIR                            check only
    pack_update.py LISTS FILES_DIR BOUND                      check, then write BOUND
    pack_update.py LISTS FILES_DIR BOUND EXE OUT [BUILT_EXE]  check, then write OUT and its
                                                              manifest
LISTS is the output of tools/product_lists.cpp. BOUND is the manifest that the exe carries as
a resource, which the updater installs exactly; EXE must carry this folder's one. BUILT_EXE,
when given, is the exe as built before signing; the manifest names its digest too. Exits 1
when the files are refused, having written nothing; 2 on wrong use."""

import datetime
import hashlib
import os
import stat
import struct
import sys
import zipfile

FILE_NAME_LIMIT = 127  # bytes of CP932, as the engine's list entries hold them
SIZE_LIMIT = 4 << 30  # the verified copy counts sizes in 32 bits
# The archive's DOS time cannot go before 1980 in any zone, its UT field not past 2038.
EARLIEST_TIME = int(datetime.datetime(1980, 1, 2, tzinfo=datetime.timezone.utc).timestamp())
LATEST_TIME = 0x7FFFFFFF
EXTENDED_TIMESTAMP = 0x5455
NTFS_TIMES = 0x000A
FILETIME_OF_UNIX_EPOCH = 11644473600 * 10**7  # 100 ns steps from 1601 to 1970
# The bound manifest, as the updater reads it: a header (tag, entry count, entry size), then
# per file its CP932 name, NUL-padded, its size, its write time as a FILETIME and its SHA-256.
BOUND_TAG = b"QUPDMAN1"
BOUND_HEADER = struct.Struct("<8sII")
BOUND_ENTRY = struct.Struct("<128sQQ32s")


def read_lists(path):
    """The folder, the names in the order the updater walks them, and each name's bytes."""
    folder, names, listed_bytes = None, [], {}
    with open(path, encoding="ascii") as lists:
        for line in lists:
            kind, hex_bytes = line.rstrip("\n").split("\t")
            # The updater hands these bytes to the ANSI file functions, which read them as CP932.
            text = bytes.fromhex(hex_bytes).decode("cp932")
            if kind == "folder":
                folder = text
            elif text not in names:
                names.append(text)
                listed_bytes[text] = bytes.fromhex(hex_bytes)
    return folder, names, listed_bytes


def shown(name):
    # Names that are not valid UTF-8 reach here with surrogates; show their bytes escaped.
    return os.fsencode(name).decode("utf-8", "backslashreplace")


def utc_text(seconds):
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S UTC")


def name_problem(name):
    try:
        length = len(name.encode("cp932"))
    except UnicodeEncodeError:
        return "has no CP932 form, which the updater names its files in"
    if length > FILE_NAME_LIMIT:
        return "is %d bytes in CP932, over the %d a listed name holds" % (length, FILE_NAME_LIMIT)
    return None


class Check:
    def __init__(self, files_dir, names):
        self.files_dir = files_dir
        self.names = set(names)
        self.folders = set()
        for name in names:
            parts = name.split("/")
            for end in range(1, len(parts)):
                self.folders.add("/".join(parts[:end]))
        self.by_case = {}
        for listed in sorted(self.names | self.folders):
            self.by_case.setdefault(listed.casefold(), listed)
        self.refused = []  # (path, reasons)
        self.carried = []  # listed names found, with their lstat

    def unlisted(self, name, is_folder):
        listed = self.by_case.get(name.casefold())
        if listed is not None:
            return 'matches the listed name "%s" only when case is ignored' % listed
        return "no list names this %s" % ("folder" if is_folder else "file")

    def walk(self, folder=""):
        with os.scandir(os.path.join(self.files_dir, folder)) as entries:
            for entry in sorted(entries, key=lambda entry: entry.name):
                self.visit(folder + "/" + entry.name if folder else entry.name, entry)

    def visit(self, name, entry):
        reasons = []
        problem = name_problem(name)
        if problem:
            reasons.append(problem)
        info = entry.stat(follow_symlinks=False)
        if stat.S_ISLNK(info.st_mode):
            reasons.append("is a symbolic link")
        elif stat.S_ISDIR(info.st_mode):
            if name in self.names:
                reasons.append("is a folder where the lists name a file")
            elif name not in self.folders:
                reasons.append(self.unlisted(name, True))
        elif not stat.S_ISREG(info.st_mode):
            reasons.append("is neither a file nor a folder")
        elif name not in self.names:
            reasons.append(self.unlisted(name, False))
        else:
            if info.st_size >= SIZE_LIMIT:
                reasons.append("is %d bytes, 4 GiB or more" % info.st_size)
            if not EARLIEST_TIME <= info.st_mtime <= LATEST_TIME:
                reasons.append("was written at %s, outside the years 1980 to 2038 that the "
                               "archive's times hold" % utc_text(int(info.st_mtime)))
            if not os.access(entry.path, os.R_OK):
                reasons.append("cannot be read")
            if not reasons:
                self.carried.append((name, info))
        if reasons:
            self.refused.append((name, reasons))
        if stat.S_ISDIR(info.st_mode):
            self.walk(name)  # after the folder itself, so that it is named first


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            sha.update(block)
    return sha.hexdigest()


def bound_manifest(carried, listed_bytes, digests):
    # The names as the lists hold them, not re-encoded: some CP932 texts have two byte forms.
    data = BOUND_HEADER.pack(BOUND_TAG, len(carried), BOUND_ENTRY.size)
    for name, info in carried:
        written = FILETIME_OF_UNIX_EPOCH + int(info.st_mtime) * 10**7  # the zip's second
        data += BOUND_ENTRY.pack(listed_bytes[name], info.st_size, written,
                                 bytes.fromhex(digests[name]))
    return data


def bind(files_dir, carried, listed_bytes, bound):
    data = bound_manifest(carried, listed_bytes,
                          {name: digest(os.path.join(files_dir, name)) for name, _ in carried})
    write_if_changed(bound, data)


def write_if_changed(path, data):
    # The same bytes again leave the exe's build nothing to redo.
    if os.path.exists(path):
        with open(path, "rb") as old:
            if old.read() == data:
                return
    with open(path + ".partial", "wb") as target:
        target.write(data)
    os.replace(path + ".partial", path)


def exe_version(path):
    with open(path, "rb") as exe:
        data = exe.read()
    at = data.find(struct.pack("<I", 0xFEEF04BD))  # VS_FIXEDFILEINFO
    if at < 0:
        return "none"
    high, low = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def entry(name, seconds, is_folder=False):
    # The DOS time is local, as zip tools write it, and to two seconds. The extended timestamp
    # (Unix readers) and the NTFS field (Windows readers) carry the write time in UTC to the
    # second; the NTFS field needs creation and access times too and gets the write time.
    info = zipfile.ZipInfo(name, datetime.datetime.fromtimestamp(seconds).timetuple()[:6])
    filetime = FILETIME_OF_UNIX_EPOCH + seconds * 10**7
    info.extra = (struct.pack("<HHBI", EXTENDED_TIMESTAMP, 5, 1, seconds) +
                  struct.pack("<HHIHHQQQ", NTFS_TIMES, 32, 0, 1, 24, filetime, filetime, filetime))
    if is_folder:
        info.external_attr = (0o40755 << 16) | 0x10
    else:
        info.external_attr = 0o100644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
    return info


def manifest_text(folder, exe, built_exe, carried, missing, digests, more=(), files_heading=None):
    size = os.path.getsize(exe)
    lines = [
        "Update package of %s" % folder,
        "",
        "Updater: %s, %d bytes, version %s" % (os.path.basename(exe), size, exe_version(exe)),
        "  SHA-256 %s" % digest(exe),
    ]
    if built_exe:
        lines.append("  signed; as built: SHA-256 %s" % digest(built_exe))
    else:
        lines.append("  not signed")
    lines.append("  bound to the files below: it installs exactly these, each checked by size and "
                 "SHA-256")
    lines += ["", files_heading or "Files in %s/ (name, bytes, write time, SHA-256):" % folder]
    name_width = max([len(name) for name, _ in carried] + [0])
    size_width = max([len(str(info.st_size)) for _, info in carried] + [0])
    for name, info in carried:
        lines.append("  %-*s  %*d  %s  %s" % (name_width, name, size_width, info.st_size,
                                            utc_text(int(info.st_mtime)), digests[name]))
    lines += more
    lines += ["", "Listed but not carried (the updater skips them):"]
    lines += ["  " + name for name in missing] or ["  none"]
    return "\n".join(lines) + "\n"


class Output:
    """A zip and its manifest beside, written under temporary names and put in place together
    with the other outputs of the packing, so that a packing that fails leaves none of them."""

    def __init__(self, out):
        self.out = out
        self.manifest = out[:-len(".zip")] + ".txt"
        self.partial = "%s.partial-%d" % (out, os.getpid())
        self.partial_manifest = self.manifest + ".partial"

    def write_manifest(self, text):
        with open(self.partial_manifest, "w", encoding="utf-8", newline="\n") as target:
            target.write(text)

    def discard(self):
        for leftover in (self.partial, self.partial_manifest):
            if os.path.exists(leftover):
                os.remove(leftover)


def put_in_place(outputs):
    for output in outputs:
        os.replace(output.partial, output.out)
        os.replace(output.partial_manifest, output.manifest)


def write_exe(archive, exe):
    with open(exe, "rb") as source:
        archive.writestr(entry(os.path.basename(exe), int(os.stat(exe).st_mtime)), source.read())


def write_folders(archive, files_dir, folder, names):
    folders = {""}
    for name in names:
        parts = name.split("/")
        folders.update("/".join(parts[:end]) for end in range(1, len(parts)))
    for sub in sorted(folders):
        # The updater makes no folders, so their times only need to fit the fields.
        seconds = int(os.stat(os.path.join(files_dir, sub)).st_mtime)
        seconds = min(max(seconds, EARLIEST_TIME), LATEST_TIME)
        archive.writestr(entry(folder + "/" + (sub + "/" if sub else ""), seconds, True), b"")


def write_file(archive, path, name, seconds, size, compressed=True):
    """Copies the file in and returns its SHA-256, from the same reading: the digest is that of
    the bytes the archive got."""
    file_entry = entry(name, seconds)
    if not compressed:
        file_entry.compress_type = zipfile.ZIP_STORED
    file_entry.file_size = size  # so that zipfile picks Zip64 when needed
    sha, length = hashlib.sha256(), 0
    with open(path, "rb") as source, archive.open(file_entry, "w") as target:
        for block in iter(lambda: source.read(1 << 20), b""):
            sha.update(block)
            length += len(block)
            target.write(block)
    if length != size:
        raise RuntimeError("%s changed while it was packed" % shown(path))
    return sha.hexdigest()


def write_manifest_entry(archive, manifest):
    now = int(datetime.datetime.now(datetime.timezone.utc).timestamp())
    archive.writestr(entry("MANIFEST.txt", now), manifest.encode("utf-8"))


def write_package(output, files_dir, folder, exe, built_exe, carried, missing, listed_bytes,
                  bound):
    with zipfile.ZipFile(output.partial, "w") as archive:
        write_exe(archive, exe)
        write_folders(archive, files_dir, folder, [name for name, _ in carried])
        # One read per file gives the archive its bytes and the manifest their digest.
        digests = {}
        for name, info in carried:
            digests[name] = write_file(archive, os.path.join(files_dir, name),
                                       folder + "/" + name, int(info.st_mtime), info.st_size)
        if bound_manifest(carried, listed_bytes, digests) != bound:
            raise RuntimeError("the files changed since the updater was bound to them")
        manifest = manifest_text(folder, exe, built_exe, carried, missing, digests)
        write_manifest_entry(archive, manifest)
    output.write_manifest(manifest)


def checked_folder(lists, files_dir):
    """The lists and the folder's listed files, in the lists' order, with the names that the
    folder lacks; None, once the refusal is told, when the folder cannot be packed as it is."""
    folder, names, listed_bytes = read_lists(lists)
    check = Check(files_dir, names)
    check.walk()
    if check.refused:
        print("package: refused, %d paths of %s would not be copied as they stand:"
              % (len(check.refused), files_dir), file=sys.stderr)
        for name, reasons in check.refused:
            print("  %s: %s" % (shown(name), "; ".join(reasons)), file=sys.stderr)
        print("package: nothing was written", file=sys.stderr)
        return None
    if not check.carried:
        print("package: refused, %s holds none of the listed files, so there is nothing to "
              "bind the updater to; nothing was written" % files_dir, file=sys.stderr)
        return None
    found = {name for name, _ in check.carried}
    missing = [name for name in names if name not in found]
    order = {name: i for i, name in enumerate(names)}
    carried = sorted(check.carried, key=lambda item: order[item[0]])
    return folder, names, listed_bytes, carried, missing


def bound_bytes_of(exe, bound):
    """The manifest in the file BOUND, which the exe must carry."""
    with open(bound, "rb") as source:
        data = source.read()
    with open(exe, "rb") as source:
        if data not in source.read():
            raise RuntimeError("%s does not carry the manifest %s" % (exe, bound))
    return data


def main(argv):
    if len(argv) not in (3, 4, 6, 7):
        print(__doc__, file=sys.stderr)
        return 2
    files_dir = argv[2]
    if not os.path.isdir(files_dir):
        print("package: %s is not a folder" % files_dir, file=sys.stderr)
        return 2
    checked = checked_folder(argv[1], files_dir)
    if checked is None:
        return 1
    folder, _, listed_bytes, carried, missing = checked
    if len(argv) == 3:
        return 0
    bound = argv[3]
    if len(argv) == 4:
        bind(files_dir, carried, listed_bytes, bound)
        return 0
    exe, out = argv[4], argv[5]
    built_exe = argv[6] if len(argv) == 7 else None
    output = Output(out)
    try:
        bound_bytes = bound_bytes_of(exe, bound)
        write_package(output, files_dir, folder, exe, built_exe, carried, missing, listed_bytes,
                      bound_bytes)
        put_in_place([output])
    except (OSError, RuntimeError) as error:
        print("package: %s; nothing was written" % error, file=sys.stderr)
        return 1
    finally:
        output.discard()
    if missing:
        print("Not carried, so the updater will skip them: %s" % ", ".join(missing))
    print("Packed %s and %d file%s of %s into %s; manifest %s"
          % (os.path.basename(exe), len(carried), "" if len(carried) == 1 else "s", folder, out,
             output.manifest))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
