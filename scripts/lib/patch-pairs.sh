# Real pairs of successive versions of large programs from Debian's mirror, and the hard cases
# of the patch search, for scripts/benchmark-patches and scripts/benchmark-delta. Sourced;
# patch_pairs WORK [LARGE] downloads the packages into WORK/debs once, leaves each pair in
# WORK/files as NAME.old and NAME.new and sets PAIR_NAMES to the pairs found (BENCH_PAIRS=
# NAME,... keeps some only); it also writes zeros64 and pattern64 (64 MiB each, a few bytes
# changed) and, with LARGE=1, the 1 GiB game archive "large". Versions leave the archive as new
# ones come: a version no longer there is named and its pair left out.

# NAME PACKAGE OLD-VERSION NEW-VERSION PATH-IN-PACKAGE
PATCH_PAIRS=(
    "libmergedlo libreoffice-core 4:7.4.7-1+deb12u13 4:7.4.7-1+deb12u14 usr/lib/libreoffice/program/libmergedlo.so"
    "qemu-x86_64 qemu-system-x86 1:7.2+dfsg-7+deb12u15 1:7.2+dfsg-7+deb12u18+b3 usr/bin/qemu-system-x86_64"
    "qemu-i386 qemu-system-x86 1:7.2+dfsg-7+deb12u15 1:7.2+dfsg-7+deb12u18+b3 usr/libexec/qemu-system-i386"
    "qemu-microvm qemu-system-x86 1:7.2+dfsg-7+deb12u15 1:7.2+dfsg-7+deb12u18+b3 usr/bin/qemu-system-x86_64-microvm"
    "libinkscape inkscape 1.2.2-2+b1 1.2.2-2+deb12u1 usr/lib/x86_64-linux-gnu/inkscape/libinkscape_base.so"
    "libgs libgs10 10.0.0~dfsg-11+deb12u8 10.0.0~dfsg-11+deb12u9 usr/lib/x86_64-linux-gnu/libgs.so.10.00"
    "libclamav libclamav12 1.4.3+dfsg-1~deb12u2 1.4.6+dfsg-0+deb12u1 usr/lib/x86_64-linux-gnu/libclamav.so.12.0.3"
    "libndr-standard samba-libs 2:4.17.12+dfsg-0+deb12u2 2:4.17.12+dfsg-0+deb12u4 usr/lib/x86_64-linux-gnu/libndr-standard.so.0.0.1"
)

# fetch_pair_file WORK PACKAGE VERSION PATH OUT: the file of that version of the package,
# unpacked once.
fetch_pair_file() {
    local work=$1 package=$2 version=$3 path=$4 out=$5 folder
    [ -f "$out" ] && return 0
    folder="$work/debs/$package=$version"
    if [ ! -d "$folder" ]; then
        mkdir -p "$folder.download"
        if ! (cd "$folder.download" && apt-get download -q "$package=$version" >/dev/null 2>&1); then
            echo "$package $version is not in the archive any more: its pair is left out" >&2
            rm -rf "$folder.download"
            return 1
        fi
        mkdir -p "$folder"
        dpkg-deb -x "$folder.download"/*.deb "$folder"
        rm -rf "$folder.download"
    fi
    cp "$folder/$path" "$out"
}

patch_pairs() {
    local work=$1 large=${2:-1} pair name package old new path
    mkdir -p "$work/debs" "$work/files"
    PAIR_NAMES=()
    for pair in "${PATCH_PAIRS[@]}"; do
        read -r name package old new path <<<"$pair"
        if [ -n "${BENCH_PAIRS:-}" ] && [[ ",$BENCH_PAIRS," != *",$name,"* ]]; then
            continue
        fi
        fetch_pair_file "$work" "$package" "$old" "$path" "$work/files/$name.old" &&
            fetch_pair_file "$work" "$package" "$new" "$path" "$work/files/$name.new" &&
            PAIR_NAMES+=("$name")
    done
    # The search's hard cases, and the large pair.
    python3 - "$work/files" "$large" "${PAIR_NAMES[@]}" <<'PYTHON'
import os, random, sys
files, large, names = sys.argv[1], sys.argv[2] == "1", sys.argv[3:]
size = 64 << 20
def write(name, data):
    path = os.path.join(files, name)
    if not os.path.exists(path):
        with open(path, "wb") as out:
            out.write(data)
zeros = bytearray(size)
write("zeros64.old", zeros)
for at, change in ((5 << 20, b"abc"), (33 << 20, b"\x01\x02\x03"), (60 << 20, b"xyz")):
    zeros[at:at + 3] = change
write("zeros64.new", zeros)
pattern = bytearray(b"0123456" * (size // 7 + 1))[:size]
write("pattern64.old", pattern)
pattern[3 << 20] = ord("X")
pattern[40 << 20] ^= 1
pattern[7 << 20:7 << 20] = b"Y"
del pattern[50 << 20]
write("pattern64.new", pattern)
if large and not os.path.exists(os.path.join(files, "large.new")):
    # A game archive of 1 GiB: the programs' old versions, then compressed assets (random
    # bytes) of 64 KiB to 8 MiB. Its next version: the programs' new versions; of the assets
    # 2% replaced, 1% new ones inserted, 1% removed, 2% edited in a few places.
    rng = random.Random(1)
    with open(os.path.join(files, "large.old"), "wb") as old, \
            open(os.path.join(files, "large.new"), "wb") as new:
        total = 0
        for name in names:
            for out, suffix in ((old, ".old"), (new, ".new")):
                with open(os.path.join(files, name + suffix), "rb") as part:
                    out.write(part.read())
            total += os.path.getsize(os.path.join(files, name + ".old"))
        while total < 1 << 30:
            asset = rng.randbytes(rng.randint(64 << 10, 8 << 20))
            total += len(asset)
            fate = rng.random()
            if fate < 0.01:
                old.write(asset)
                continue
            if fate < 0.02:
                new.write(rng.randbytes(rng.randint(64 << 10, 4 << 20)))
            if fate < 0.04:
                old.write(asset)
                new.write(rng.randbytes(len(asset)))
                continue
            old.write(asset)
            if fate < 0.06:
                asset = bytearray(asset)
                for _ in range(8):
                    at = rng.randrange(len(asset) - 100)
                    asset[at:at + 100] = rng.randbytes(100)
            new.write(asset)
PYTHON
}
