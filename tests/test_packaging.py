"""The OpenCV requirement chosen at build time, on made-up site directories.
tools/check_opencv_distributions.sh checks real installs (slow, outside the suite)."""

import importlib.util
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
found = importlib.util.spec_from_file_location(
    "opencv_requirement", os.path.join(HERE, "..", "build_support", "opencv_requirement.py"))
opencv_requirement = importlib.util.module_from_spec(found)
found.loader.exec_module(opencv_requirement)
choose = opencv_requirement.choose


def site_dir(tmp_path, *dists, cv2=False):
    for name in dists:
        info = tmp_path / f"{name.replace('-', '_')}-5.1.0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 5.1.0\n")
    if cv2:
        (tmp_path / "cv2").mkdir()
        (tmp_path / "cv2" / "__init__.py").write_text("")
    return [str(tmp_path)]


@pytest.mark.parametrize("dist", opencv_requirement.DISTRIBUTIONS)
def test_keeps_the_distribution_that_is_there(dist, tmp_path):
    assert choose(site_dir(tmp_path, dist, cv2=True), "4.6") == [f"{dist}>=4.6"]


def test_other_environments(tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    assert choose([str(empty)], "4.6") == ["opencv-python-headless>=4.6"]
    # An unrelated distribution whose name merely contains "opencv" does not count.
    unrelated = tmp_path / "unrelated"
    unrelated.mkdir()
    assert choose(site_dir(unrelated, "opencv-stubs"), "4.6") == ["opencv-python-headless>=4.6"]
    # A cv2 that none of the four owns (built from source): nothing is added over it.
    own = tmp_path / "own"
    own.mkdir()
    assert choose(site_dir(own, cv2=True), "4.6") == []
    # Two already there (the environment is mixed already): naming both changes nothing.
    mixed = tmp_path / "mixed"
    mixed.mkdir()
    assert choose(site_dir(mixed, "opencv-python", "opencv_contrib_python"), "4.8") == [
        "opencv-contrib-python>=4.8", "opencv-python>=4.8"]


def test_override(tmp_path):
    dirs = site_dir(tmp_path, "opencv-python", cv2=True)
    assert choose(dirs, "4.6", "opencv_contrib_python_headless") == ["opencv-contrib-python-headless>=4.6"]
    assert choose(dirs, "4.6", "None") == []
    with pytest.raises(ValueError, match="opencv-python-gui"):
        choose(dirs, "4.6", "opencv-python-gui")


def test_virtual_environment_that_sees_the_system_site(tmp_path):
    # There the base interpreter's OpenCV is the user's too.
    sees = opencv_requirement.sees_system_site
    (tmp_path / "pyvenv.cfg").write_text("home = /usr/bin\ninclude-system-site-packages = true\nversion = 3.11.7\n")
    assert sees(str(tmp_path))
    (tmp_path / "pyvenv.cfg").write_text("home = /usr/bin\ninclude-system-site-packages = false\n")
    assert not sees(str(tmp_path)) and not sees(str(tmp_path / "missing"))
