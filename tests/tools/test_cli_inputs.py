"""Inputs that must neither crash the command nor mislead it: odd names, bombs, damaged files, scarce memory."""

import os
import struct
import subprocess
import sys
import zlib

import cv2
import numpy as np
import pytest

import Sovelk
from sovelk_tools import joint_bilateral
from sovelk_tools.formats import declared_size, identify
from sovelk_tools import opencv_codecs
from sovelk_tools.opencv_codecs import CodecError, EncodeRefused, encode, have_encoder


def filtered(img, guide, sigma_s=1):
    return Sovelk.Joint_bilateral_filter(sigma_s, 0.1).joint_bilateral_filter(img, guide)


def encoded(ext, img, params=()):
    ok, buf = cv2.imencode(ext, img, list(params))
    assert ok, ext
    return buf.tobytes()


def test_file_names_that_are_not_utf8(sovelk, one_line, tmp_path, rng, make_pair):
    # OpenCV's binding crashed on such a name, and one of them ended a whole batch while it was planned.
    names = [b"caf\xe9.png", b"plain.png", b"no-extension\xff"]  # the last one is found by its content
    pairs = {}
    for name in names:
        pairs[name] = make_pair(rng, 9 + len(pairs), 11, 3, 3)
        for folder, arr in ((b"imgs", pairs[name][0]), (b"guides", pairs[name][1])):
            os.makedirs(tmp_path / os.fsdecode(folder), exist_ok=True)
            (tmp_path / os.fsdecode(folder) / os.fsdecode(name)).write_bytes(encoded(".png", arr))
    proc = sovelk("filter", "imgs", "--guidance-dir", "guides", "-o", "out", "--sigma-s", 1, "--format", "png")
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(os.fsencode(tmp_path / "out"))) == [b"caf\xe9.png", b"no-extension\xff.png", b"plain.png"]
    for name, (img, guide) in pairs.items():
        out = os.path.join(os.fsencode(tmp_path / "out"), os.path.splitext(name)[0] + b".png")
        assert np.array_equal(cv2.imdecode(np.fromfile(out, np.uint8), cv2.IMREAD_UNCHANGED), filtered(img, guide))
    odd_output = os.fsdecode(b"r\xe9sult.png")
    assert sovelk("filter", "imgs/plain.png", "guides/plain.png", "-o", odd_output, "-q").returncode == 0
    assert (tmp_path / odd_output).exists()
    proc = sovelk("filter", "imgs/plain.png", "guides/plain.png", "-o", os.fsdecode(b"result.p\xe9g"))
    assert proc.returncode == 2 and "no encoder" in one_line(proc.stderr)


def test_codec_messages_stay_off_stderr(sovelk, one_line, tmp_path, rng, make_pair):
    # libpng and libjpeg print on stderr themselves: beside the one-line error of a file they
    # cannot decode, and after a decode that succeeded.
    img, guide = make_pair(rng, 64, 64, 3, 3)
    (tmp_path / "g.png").write_bytes(encoded(".png", guide))
    png, jpg = encoded(".png", img), encoded(".jpg", img)
    bad_chunk = bytearray(png)
    bad_chunk[png.index(b"IDAT") + 3] ^= 0xFF
    (tmp_path / "bad_chunk.png").write_bytes(bytes(bad_chunk))
    (tmp_path / "truncated.jpg").write_bytes(jpg[: len(jpg) // 2])
    scribbled = bytearray(jpg)
    scribbled[len(jpg) // 2 : len(jpg) // 2 + 50] = b"\xff" * 50  # still decodes, with a warning
    (tmp_path / "scribbled.jpg").write_bytes(bytes(scribbled))
    outcomes = {}
    for name in ("bad_chunk.png", "truncated.jpg", "scribbled.jpg"):
        proc = sovelk("filter", name, "g.png", "-o", f"{name}.png", "-q")
        outcomes[name] = proc.returncode
        if proc.returncode == 0:
            assert proc.stderr == "", (name, proc.stderr)
        else:
            assert proc.returncode == 2 and "damaged or truncated" in one_line(proc.stderr), (name, proc.stderr)
    # libjpeg decodes a cut or scribbled file with a warning where libpng refuses a bad chunk.
    assert outcomes["bad_chunk.png"] == 2 and outcomes["scribbled.jpg"] == 0


@pytest.mark.skipif(os.environ.get("SOVELK_SANITIZED") == "1", reason="ASan's shadow memory needs the address space")
def test_a_decode_that_runs_out_of_memory_says_so(child_env, tmp_path):
    # It used to be reported as a damaged or truncated file.
    (tmp_path / "big.png").write_bytes(encoded(".png", np.zeros((6000, 6000, 3), np.uint8)))
    code = (
        "import resource, sys\n"
        "from sovelk_tools.cli import main\n"
        "import sovelk_tools.filtering  # OpenCV's libraries loaded before the limit\n"
        "size = int(next(l for l in open('/proc/self/status') if l.startswith('VmSize:')).split()[1]) * 1024\n"
        "limit = size + (64 << 20)  # far less than the 108 MB of decoded pixels\n"
        "resource.setrlimit(resource.RLIMIT_AS, (limit, limit))\n"
        "sys.exit(main(['filter', 'big.png', 'big.png', '-o', 'o.png']))\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr.strip() == "sovelk: error: out of memory: image 'big.png' (6000x6000 pixels) could not be decoded"


def _png_declaring(w, h):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = zlib.compress(b"\0" * (w + 1) * 4)  # four rows of gray: far from all the header declares
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 0, 0, 0, 0))
            + chunk(b"IDAT", rows) + chunk(b"IEND", b""))


def test_a_decompression_bomb_is_refused_before_decoding(cli, monkeypatch, tmp_path, rng, make_pair):
    # A 875 KB PNG that decodes to 900 megapixels took 5.3 GB and 134 s; its header alone tells.
    # Every format's header is checked against OpenCV's own decoders in the last test.
    monkeypatch.chdir(tmp_path)
    os.mkdir("imgs")
    os.mkdir("guides")
    img, guide = make_pair(rng, 10, 12, 3)
    (tmp_path / "imgs" / "bomb.png").write_bytes(_png_declaring(20000, 20000))
    cv2.imwrite("imgs/fine.png", img)
    for name in ("bomb.png", "fine.png"):
        cv2.imwrite(f"guides/{name}", guide)
    code, out, err = cli("filter", "imgs", "--guidance-dir", "guides", "-o", "out", "--sigma-s", 1)
    assert code == 2 and "1 FAILED: imgs/bomb.png" in out
    assert "'imgs/bomb.png' declares 20000x20000 pixels, more than --max-pixels 268435456 allows" in err
    assert os.listdir("out") == ["fine.png"]
    assert np.array_equal(cv2.imread("out/fine.png"), filtered(img, guide))


def _tiff_declaring(side_type, gray):
    """An uncompressed 8-bit gray TIFF whose width and height tags have the given field type:
    libtiff reads them of any integer type, signed ones (SBYTE 6, SSHORT 8, SLONG 9) included."""
    h, w = gray.shape
    fields = [(256, side_type, w), (257, side_type, h), (258, 3, 8), (259, 3, 1), (262, 3, 1),
              (273, 4, 8 + 2 + 9 * 12 + 4), (277, 3, 1), (278, 4, h), (279, 4, h * w)]
    codes = {3: "H", 4: "I", 6: "b", 8: "h", 9: "i"}
    directory = b"".join(struct.pack("<HHI", tag, kind, 1) + struct.pack("<" + codes[kind], value).ljust(4, b"\0")
                         for tag, kind, value in fields)
    return b"II*\0" + struct.pack("<IH", 8, len(fields)) + directory + b"\0" * 4 + gray.tobytes()


def test_max_pixels_holds_every_input_to_its_limit(cli, monkeypatch, one_line, tmp_path, rng, make_pair):
    monkeypatch.chdir(tmp_path)
    img, guide = make_pair(rng, 10, 12, 3)
    cv2.imwrite("img.png", img)
    cv2.imwrite("guide.png", guide)
    np.save("img.npy", img)
    # Sides of a signed type were passed over, and the picture they declared was decoded first.
    for side_type in (6, 8, 9):
        (tmp_path / f"img{side_type}.tif").write_bytes(_tiff_declaring(side_type, img[:, :, 0]))
        assert cv2.imread(f"img{side_type}.tif", cv2.IMREAD_UNCHANGED).shape == (10, 12)
    for image, verb in (("img.png", "declares"), ("img.npy", "has"), ("img6.tif", "declares"),
                        ("img8.tif", "declares"), ("img9.tif", "declares")):
        code, _, err = cli("filter", image, "guide.png", "-o", "o.png", "--max-pixels", 119)
        assert code == 2 and f"image '{image}' {verb} 12x10 pixels, more than --max-pixels 119" in one_line(err)
    code, _, err = cli("filter", "img.png", "guide.png", "-o", "o.png", "--max-pixels", 120, "--sigma-s", 1)
    assert code == 0 and np.array_equal(cv2.imread("o.png"), filtered(img, guide)), err


def test_npy_of_any_channel_count_and_a_float_file_with_nan(cli, monkeypatch, tmp_path, rng):
    # More channels than OpenCV's border step takes raised a traceback with exit 1, and the files
    # after it were never filtered; a (h, w, 1) guidance did the same, where it means gray guidance.
    # NaN in a float image is that file's failure alone.
    monkeypatch.chdir(tmp_path)
    os.mkdir("imgs")
    os.mkdir("guides")
    channels = {"a": 3, "b": 129, "c": 600, "d": 4}
    for name, count in channels.items():
        np.save(f"imgs/{name}.npy", rng.integers(0, 256, (6, 7, count), dtype=np.uint8))
        np.save(f"guides/{name}.npy", rng.integers(0, 256, (6, 7, 1) if name == "d" else (6, 7), dtype=np.uint8))
    holes = rng.random((6, 7)).astype(np.float32)
    holes[3, 4] = np.nan
    np.save("imgs/e.npy", holes)
    np.save("guides/e.npy", holes > 0.5)
    # Damaged headers ended the command with a traceback (tokenize's error for an unclosed
    # bracket, OverflowError for a negative side) and the files after them were never filtered.
    np.save("imgs/f.npy", holes)
    data = (tmp_path / "imgs" / "f.npy").read_bytes()
    for name, spoilt in (("f", b"(6, 7 "), ("g", b"(-6,7)")):
        (tmp_path / "imgs" / f"{name}.npy").write_bytes(data.replace(b"(6, 7)", spoilt, 1))
        np.save(f"guides/{name}.npy", holes > 0.5)
    code, out, err = cli("filter", "imgs", "--guidance-dir", "guides", "-o", "out", "--sigma-s", 1)
    assert code == 2 and "3 FAILED: imgs/e.npy, imgs/f.npy, imgs/g.npy" in out
    assert "error: guidance 'guides/e.npy' has bool samples" in err
    assert "error: image 'imgs/f.npy' is not a readable .npy array (its header cannot be parsed" in err
    assert "error: image 'imgs/g.npy' is not a readable .npy array (its header's shape (-6, 7)" in err
    assert len(err.strip().splitlines()) == 3 and "Traceback" not in err
    os.unlink("imgs/f.npy")
    os.unlink("imgs/g.npy")
    for name in channels:
        img, guide = np.load(f"imgs/{name}.npy"), np.load(f"guides/{name}.npy")
        assert np.array_equal(np.load(f"out/{name}.npy"), joint_bilateral(img, guide, 1, 0.1, rounding="truncate")), name
    np.save("guides/e.npy", (holes > 0.5).astype(np.uint8))
    code, out, err = cli("filter", "imgs/e.npy", "--guidance-dir", "guides", "-o", "out")
    assert code == 2 and "'imgs/e.npy' cannot be filtered: image holds NaN or infinity" in err
    assert sorted(os.listdir("out")) == ["a.npy", "b.npy", "c.npy", "d.npy"]


def _variants(ext):
    """Images of several sizes, depths and channel counts that OpenCV's encoder for ext takes.

    Encoded as the command encodes: the 1 x 1 and odd widths make OpenCV's Sun raster encoder
    read past the end of the image, which the sanitizer run reports unless the command guards it.
    """
    rng = np.random.default_rng(7)
    for h, w in ((1, 1), (17, 300), (257, 3), (64, 65)):
        for channels, dtype in ((1, np.uint8), (3, np.uint8), (4, np.uint16), (3, np.float32)):
            img = rng.integers(0, 256, (h, w, channels)).astype(dtype)
            try:
                data = bytes(encode(ext, img[:, :, 0] if channels == 1 else img))
            except (CodecError, EncodeRefused):
                continue
            # Some encoders write what their own decoder then refuses (PAM at 16 bits).
            if cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED) is not None:
                yield (w, h), data


@pytest.mark.parametrize("ext", [e for e in (".png", ".jpg", ".tif", ".webp", ".bmp", ".gif", ".pgm", ".ppm", ".pbm",
                                             ".pam", ".pfm", ".ras", ".hdr", ".jp2", ".exr", ".avif")
                                 if have_encoder(e)])
def test_declared_size_is_the_size_opencv_decodes(ext):
    variants = list(_variants(ext))
    if ext == ".jpg":  # a progressive frame header too
        variants.append(((65, 64), encoded(".jpg", np.zeros((64, 65, 3), np.uint8), [cv2.IMWRITE_JPEG_PROGRESSIVE, 1])))
    assert variants
    for size, data in variants:
        decoded = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
        assert (decoded.shape[1], decoded.shape[0]) == size == declared_size(data), (ext, size)
        assert identify(data) is not None
    # A header cut short is no size at all, never an error: the decoder then judges the file.
    for cut in range(0, len(variants[0][1]) // 4, 3):
        assert declared_size(variants[0][1][:cut]) in (None, variants[0][0])


def test_a_decoder_run_apart_that_crashes_is_one_files_error(rng):
    """OpenCV 4's JPEG 2000 decoder crashes on some damaged files: there it runs in a child, whose
    crash is that file's CodecError and whose image is the one decoded in process."""
    with pytest.raises(CodecError, match="crashed"):
        opencv_codecs._decode_in_child(b"", cv2.IMREAD_UNCHANGED, "import os; os.abort()")
    img = rng.integers(0, 256, (9, 7, 3), dtype=np.uint8)
    data = encoded(".png", img)
    assert np.array_equal(opencv_codecs._decode_in_child(data, cv2.IMREAD_UNCHANGED), img)
    assert opencv_codecs._decode_in_child(b"not an image", cv2.IMREAD_UNCHANGED) is None
