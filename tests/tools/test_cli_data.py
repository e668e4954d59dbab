"""The command never reports success on lost data and never turns data into garbage."""

import os
import select
import signal
import subprocess
import sys

import cv2
import numpy as np
import pytest

import Sovelk
from sovelk_tools import joint_bilateral
from sovelk_tools.opencv_codecs import have_encoder

# What a child exits with when it cannot drop the capabilities that let root ignore permission bits.
NO_CAPABILITY_DROP = 77

WRITERS = [e for e in ("png", "jpg", "jp2", "bmp", "tif", "webp", "pbm", "pgm", "ppm", "pnm", "pfm", "pam",
                       "sr", "ras", "exr", "hdr", "pic", "avif", "gif", "apng", "jxl")
           if have_encoder("." + e)]


def filtered(sigma_s, img, guide, sigma_r=0.1):
    return Sovelk.Joint_bilateral_filter(sigma_s, sigma_r).joint_bilateral_filter(img, guide)


@pytest.mark.parametrize("fmt", WRITERS + ["npy-written", "npy-mapped"])
def test_full_disk_keeps_the_earlier_file(cli, monkeypatch, one_line, mount_tmpfs, fill_up, tmp_path, rng, make_pair, fmt):
    img, guide = make_pair(rng, 40, 50, 3)
    # An input with alpha makes the .npy result in memory (written through numpy); a .npy
    # input is filtered straight into a preallocated memory-mapped output.
    if fmt == "npy-mapped":
        np.save(tmp_path / "img.npy", img)
        source = "img.npy"
    else:
        cv2.imwrite(str(tmp_path / "img.png"), np.dstack([img, guide]) if fmt == "npy-written" else img)
        source = "img.png"
    cv2.imwrite(str(tmp_path / "guide.png"), guide)
    disk = mount_tmpfs("disk")
    out = disk / ("out." + fmt.split("-")[0])
    out.write_bytes(b"an earlier good result")
    fill_up(disk)
    monkeypatch.chdir(tmp_path)
    code, stdout, err = cli("filter", source, "guide.png", "-o", out, "--sigma-s", 1, "--overwrite")
    assert code == 2 and stdout == ""
    assert one_line(err).endswith("No space left on device"), err
    assert out.read_bytes() == b"an earlier good result"
    assert sorted(os.listdir(disk)) == ["fill", out.name]


def test_directories_that_cannot_be_used(sovelk, one_line, mount_tmpfs, no_permission_override, tmp_path,
                                         rng, make_pair):
    img, guide = make_pair(rng, 12, 14, 3)
    for d in ("imgs", "guides", "locked", "closed"):
        (tmp_path / d).mkdir()
    for d in ("imgs", "guides", "closed"):
        cv2.imwrite(str(tmp_path / d / "a.png"), img if d != "guides" else guide)
    cv2.imwrite(str(tmp_path / "locked" / "a.png"), guide)
    mount_tmpfs("ro", read_only=True)
    read_only = [
        (["filter", "imgs/a.png", "guides/a.png", "-o", "ro/o.png"], "read-only file system"),
        (["filter", "imgs", "--guidance-dir", "guides", "-o", "ro/batch"], "read-only file system"),
        (["demo", "ro/demo"], "read-only file system"),
    ]
    for args, fragment in read_only:
        proc = sovelk(*args)
        assert proc.returncode == 2 and fragment in one_line(proc.stderr).lower(), (args, proc.stderr)
    (tmp_path / "locked").chmod(0)
    (tmp_path / "closed").chmod(0o600)  # listable, but no search permission
    unpermitted = [
        (["filter", "imgs", "--guidance-dir", "locked", "-o", "out"], "'locked' cannot be read: Permission denied"),
        (["filter", "locked", "--guidance-dir", "guides", "-o", "out"], "'locked' cannot be read: Permission denied"),
        (["filter", "closed/a.png", "guides/a.png", "-o", "o.png"], "permission denied on a directory in its path"),
    ]
    try:
        for args, fragment in unpermitted:
            proc = sovelk(*args, preexec_fn=no_permission_override)
            if proc.returncode == NO_CAPABILITY_DROP:
                pytest.skip("running as root without CAP_SETPCAP: permission bits cannot be made to apply")
            assert proc.returncode == 2 and fragment in one_line(proc.stderr), (args, proc.stderr)
    finally:
        (tmp_path / "locked").chmod(0o755)
        (tmp_path / "closed").chmod(0o755)
    assert sorted(os.listdir(tmp_path)) == ["closed", "guides", "imgs", "locked", "ro"]  # no "out" left


def test_npy_inputs_are_filtered_at_their_own_depth(cli, monkeypatch, one_line, tmp_path, rng, make_pair):
    from sovelk_tools import function as bilateral

    monkeypatch.chdir(tmp_path)
    img, guide = make_pair(rng, 16, 19, 3)
    np.save("guide.npy", guide)
    np.save("guide_float.npy", guide / 255.0)
    channels_filtered = []
    native_filter = bilateral._native.filter

    def spy(image, *args):
        if image.shape[:2] == (16, 19):  # not the options' check on one pixel
            channels_filtered.append(image.shape[2])
        return native_filter(image, *args)

    monkeypatch.setattr(bilateral._native, "filter", spy)
    cases = [  # image, extra options, what joint_bilateral is given for the same result
        (rng.random((16, 19)).astype(np.float32), ["--tile", 0], {}),
        (rng.normal(0, 1e4, (16, 19, 2)), ["--mode", "wrap"], {"mode": "wrap"}),
        (rng.integers(0, 65536, (16, 19, 3), dtype=np.uint16), ["--mode", "constant", "--cval", 7], {"mode": "constant", "cval": 7}),
        (rng.integers(-30000, 30000, (16, 19, 1), dtype=np.int16), [], {}),
        (rng.integers(-2**31, 2**31, (16, 19), dtype=np.int32), ["--rounding", "truncate"], {"rounding": "truncate"}),
        (img[:, :, 0], [], {"rounding": "truncate"}),  # 8-bit: the class's truncation unless asked otherwise
        (img[:, :, :1], ["--rounding", "nearest"], {}),
    ]
    for k, (source, extra, options) in enumerate(cases):
        np.save(f"in{k}.npy", source)
        channels_filtered.clear()
        code, _, err = cli("filter", f"in{k}.npy", "guide.npy", "-o", f"out{k}.npy", "--sigma-s", 1, "--tile", 5, *extra)
        assert code == 0, err
        got = np.load(f"out{k}.npy")
        want = joint_bilateral(source, guide, 1, 0.1, **options)
        assert got.dtype == source.dtype and got.shape == source.shape and got.tobytes() == want.tobytes(), k
        # A gray image costs one channel, not two or three.
        assert set(channels_filtered) == {source.shape[2] if source.ndim == 3 else 1}, k
    assert np.array_equal(np.load("out5.npy"), filtered(1, img[:, :, [0, 0]], guide)[:, :, 0])  # the class's bytes
    # A float guidance is weighed at its own depth, in its own units; an image alone by itself.
    for inputs, guidance in ((["in1.npy", "guide_float.npy"], guide / 255.0), (["in1.npy"], None)):
        code, _, err = cli("filter", *inputs, "-o", "g.npy", "--sigma-s", 1, "--tile", 5, "--overwrite")
        assert code == 0 and "note:" not in err, err
        assert np.load("g.npy").tobytes() == joint_bilateral(np.load("in1.npy"), guidance, 1, 0.1).tobytes()
    np.save("wide.npy", img.astype(np.int64))
    code, _, err = cli("filter", "wide.npy", "guide.npy", "-o", "o.npy")
    assert code == 2 and "astype(np.float64)" in one_line(err)
    # A float image on the 0..255 scale, written as PNG, is not silently turned white: the note says how much was clipped.
    np.save("scale255.npy", img.astype(np.float64))
    code, _, err = cli("filter", "scale255.npy", "guide.npy", "-o", "o255.png")
    assert code == 0 and "mapped from 0..1 to 0..255" in err and "were clipped" in err


def test_batch_goes_on_past_bad_files_and_resumes(cli, monkeypatch, tmp_path, rng, make_pair):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "imgs").mkdir()
    (tmp_path / "guides").mkdir()
    pairs = {}
    for name in ("a", "b", "c", "d"):
        pairs[name] = make_pair(rng, 12, 15, 3, 3)
        cv2.imwrite(f"imgs/{name}.png", pairs[name][0])
        cv2.imwrite(f"guides/{name}.png", pairs[name][1])
    whole = (tmp_path / "imgs" / "c.png").read_bytes()
    (tmp_path / "imgs" / "c.png").write_bytes(whole[: len(whole) // 2])  # truncated
    (tmp_path / "imgs" / "b.png").write_text("a text file named like an image")
    cv2.imwrite("imgs/e.png", pairs["a"][0])  # no guidance: it stopped the batch before any work
    code, out, err = cli("filter", "imgs", "--guidance-dir", "guides", "-o", "out", "--sigma-s", 1)
    assert code == 2
    assert "'imgs/b.png' cannot be read: not an image format" in err
    assert "'imgs/c.png' cannot be read: OpenCV knows its format" in err and "truncated" in err
    assert "error: no guidance for 'imgs/e.png' in 'guides'" in err and len(err.strip().splitlines()) == 3
    assert "filtered 2 files" in out and "3 FAILED: imgs/b.png, imgs/c.png, imgs/e.png" in out
    os.unlink("imgs/e.png")
    assert sorted(os.listdir("out")) == ["a.png", "d.png"]
    for name in ("a", "d"):
        assert np.array_equal(cv2.imread(f"out/{name}.png"), filtered(1, *pairs[name])), name
    # Resume: existing outputs stay as they are, missing ones are made.
    before = os.stat("out/a.png").st_mtime_ns
    os.unlink("out/d.png")
    os.unlink("imgs/b.png")
    os.unlink("imgs/c.png")
    code, out, err = cli("filter", "imgs", "--guidance-dir", "guides", "-o", "out", "--sigma-s", 1,
                         "--skip-existing")
    assert code == 0, err
    assert "filtered 1 file" in out and "1 skipped" in out
    assert os.stat("out/a.png").st_mtime_ns == before
    assert np.array_equal(cv2.imread("out/d.png"), filtered(1, *pairs["d"]))
    # Each image guided by itself: no guidance directory to match.
    code, out, err = cli("filter", "imgs", "--self-guided", "-o", "own", "--sigma-s", 1)
    assert code == 0 and "filtered 2 files" in out, err
    for name in ("a", "d"):
        assert np.array_equal(cv2.imread(f"own/{name}.png"), filtered(1, pairs[name][0], pairs[name][0])), name
    # A batch that writes nothing leaves no empty output directory behind.
    (tmp_path / "guides" / "a.png").write_text("unreadable guidance")
    code, out, err = cli("filter", "imgs/a.png", "--guidance-dir", "guides", "-o", "nothing/here")
    assert code == 2 and "1 FAILED" in out and not os.path.exists("nothing")


def test_messages_that_do_not_mislead(cli, monkeypatch, one_line, tmp_path, rng, make_pair):
    monkeypatch.chdir(tmp_path)
    img, guide = make_pair(rng, 10, 12, 3, 3)
    cv2.imwrite("g.png", guide)
    cv2.imwrite("bgra.png", np.dstack([img, guide[:, :, 0]]))
    code, _, err = cli("filter", "bgra.png", "g.png", "-o", "o.jpg", "--sigma-s", "2.0")
    assert code == 0 and "stores no alpha channel" in err, err
    code, _, err = cli("filter", "bgra.png", "g.png", "-o", "o.png", "--sigma-s", "two")
    assert code == 2 and "must be a number of pixels, got 'two'" in err
    # A window no memory can hold fails before any file is read, naming the option and the size.
    code, _, err = cli("filter", "bgra.png", "g.png", "-o", "o.png", "--sigma-s", 10**20)
    assert code == 1 and "out of memory: --sigma-s 100000000000000000000: a window of" in one_line(err)
    code, _, err = cli("filter", "bgra.png", "g.png", "-o", "o.png", "--cval", 3)
    assert code == 2 and "--cval applies to --mode constant only" in one_line(err)
    code, _, err = cli("filter", "bgra.png", "g.png", "-o", "o.png", "--overwrite", "--skip-existing")
    assert code == 2 and "not allowed with" in err


def test_sigma_s_is_any_positive_number_as_the_function_takes_it(cli, monkeypatch, tmp_path, rng, make_pair):
    monkeypatch.chdir(tmp_path)
    img, guide = make_pair(rng, 23, 19, 3, 3)
    deep = rng.integers(0, 65536, img.shape, dtype=np.uint16)
    np.save("img.npy", img)
    np.save("deep.npy", deep)
    np.save("guide.npy", guide)
    # 8-bit images keep the class's truncation, so a whole number given as "2.0" gives its bytes;
    # deeper ones are rounded to nearest.
    for source, sigma_s, want in (
        ("img.npy", "2.0", filtered(2, img, guide)),
        ("img.npy", "1.5", joint_bilateral(img, guide, 1.5, 0.1, rounding="truncate")),
        ("img.npy", "0.1", img),  # int(3 * 0.1 + 0.5) = 0: the window is the pixel alone
        ("deep.npy", "1.5", joint_bilateral(deep, guide, 1.5, 0.1)),
    ):
        code, _, err = cli("filter", source, "guide.npy", "-o", "out.npy", "--sigma-s", sigma_s, "--overwrite", "--tile", 8)
        assert code == 0, err
        assert np.array_equal(np.load("out.npy"), want), (source, sigma_s)
    # The long-run warning names the window joint_bilateral uses: int(3 * 2.5 + 0.5) pixels each side.
    from sovelk_tools.filtering import window_warning

    assert "(17x17 pixels for --sigma-s 2.5)" in window_warning(2.5, 20000, 20000, "big.png")


def test_huge_window_is_warned_of_before_the_long_call(child_env, tmp_path, rng):
    np.save(tmp_path / "img.npy", rng.integers(0, 256, (512, 512, 3), dtype=np.uint8))
    np.save(tmp_path / "guide.npy", rng.integers(0, 256, (512, 512), dtype=np.uint8))
    proc = subprocess.Popen(
        [sys.executable, "-m", "sovelk_tools", "filter", "img.npy", "guide.npy", "-o", "out.npy",
         "--sigma-s", "100", "-q"],
        cwd=tmp_path, env=child_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGTERM, signal.SIG_DFL),
    )
    try:
        ready, _, _ = select.select([proc.stderr], [], [], 60)
        line = proc.stderr.readline() if ready else "(nothing within 60 s)"
        assert "warning: the filter window (601x601 pixels for --sigma-s 100) is larger than" in line, line
        assert proc.poll() is None
    finally:
        proc.terminate()
        proc.communicate(timeout=60)
    assert sorted(os.listdir(tmp_path)) == ["guide.npy", "img.npy"]


@pytest.mark.parametrize("publish", ["link", "rename-noreplace", "checked-rename", "overwrite"])
def test_an_output_that_appears_during_the_run_is_kept(cli, monkeypatch, tmp_path, rng, make_pair, publish):
    # Another program writes b's output while b is being filtered. Without --overwrite that file
    # stays and b alone fails, on every way of publishing that a file system allows.
    import ctypes
    import errno

    monkeypatch.chdir(tmp_path)
    (tmp_path / "imgs").mkdir()
    (tmp_path / "guides").mkdir()
    pairs = {}
    for name, h in (("a", 12), ("b", 13), ("c", 14)):
        pairs[name] = make_pair(rng, h, 15, 3, 3)
        cv2.imwrite(f"imgs/{name}.png", pairs[name][0])
        cv2.imwrite(f"guides/{name}.png", pairs[name][1])
    theirs = tmp_path / "out" / "b.png"

    from sovelk_tools import filtering

    def interfering(img, guidance, **options):
        if img.shape[0] == 13 and not theirs.exists():
            theirs.write_bytes(b"written by another program")
        return joint_bilateral(img, guidance, **options)

    monkeypatch.setattr(filtering, "joint_bilateral", interfering)

    def no_hard_links(*args, **kwargs):
        raise OSError(errno.EPERM, "Operation not permitted")

    def no_libc(*args, **kwargs):
        raise OSError("no C library here")

    if publish != "link":
        monkeypatch.setattr(os, "link", no_hard_links)
    if publish == "checked-rename":
        monkeypatch.setattr(ctypes, "CDLL", no_libc)
    extra = ["--overwrite"] if publish == "overwrite" else []
    code, out, err = cli("filter", "imgs", "--guidance-dir", "guides", "-o", "out", "--sigma-s", 1, "--tile", 0, *extra)
    assert sorted(os.listdir("out")) == ["a.png", "b.png", "c.png"]  # no temporary file left
    for name in ("a", "c") if publish != "overwrite" else ("a", "b", "c"):
        assert np.array_equal(cv2.imread(f"out/{name}.png"), filtered(1, *pairs[name])), name
    if publish == "overwrite":
        assert code == 0, err
    else:
        assert code == 2 and "1 FAILED: imgs/b.png" in out
        assert "error: output 'out/b.png' appeared while this result was being made" in err
        assert theirs.read_bytes() == b"written by another program"
