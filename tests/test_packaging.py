"""The OpenCV requirement chosen at build time, on made-up site directories, and the declared
floors. tools/install_matrix.py checks real installs (slow, outside the suite)."""

import importlib.util
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
found = importlib.util.spec_from_file_location(
    "opencv_requirement", os.path.join(HERE, "..", "build_support", "opencv_requirement.py"))
opencv_requirement = importlib.util.module_from_spec(found)
found.loader.exec_module(opencv_requirement)
choose = opencv_requirement.choose


def site_dir(path, *dists, cv2=False):
    path.mkdir(exist_ok=True)
    for requirement in dists:
        name, _, version = requirement.partition("==")
        version = version or "5.1.0"
        info = path / f"{name.replace('-', '_')}-{version}.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    if cv2:
        (path / "cv2").mkdir()
        (path / "cv2" / "__init__.py").write_text("")
    return [str(path)]


@pytest.mark.parametrize("dists, cv2", [((d,), True) for d in opencv_requirement.DISTRIBUTIONS] + [
    ((), True),  # a cv2 that none of the four owns (built from source)
    (("opencv-python", "opencv_contrib_python"), True),  # mixed already: not made worse
    (("opencv-contrib-python-headless==4.6.0.66", "numpy==1.24.4"), True),
], ids=list(opencv_requirement.DISTRIBUTIONS) + ["unowned", "mixed", "old"])
def test_any_cv2_already_there_is_left_alone(dists, cv2, tmp_path):
    assert choose(site_dir(tmp_path, *dists, cv2=cv2), "4.6") == []


def test_an_environment_without_cv2_gets_the_headless_distribution(tmp_path):
    assert choose(site_dir(tmp_path / "empty"), "4.6") == ["opencv-python-headless>=4.6"]
    # A distribution whose name merely contains "opencv" does not count.
    assert choose(site_dir(tmp_path / "stubs", "opencv-stubs"), "4.6") == ["opencv-python-headless>=4.6"]
    assert choose(site_dir(tmp_path / "numpy2", "numpy==2.4.6"), "4.6") == ["opencv-python-headless>=4.6"]
    # One still on numpy 1 gets an OpenCV that does not upgrade it.
    assert choose(site_dir(tmp_path / "numpy1", "numpy==1.26.4"), "4.6") == ["opencv-python-headless>=4.6,<4.12"]


def test_a_wheel_built_from_an_sdist_names_no_opencv(tmp_path):
    # pip caches it and installs it into other environments.
    assert choose(site_dir(tmp_path), "4.6", from_sdist=True) == []
    assert choose(site_dir(tmp_path), "4.6", "opencv-python", from_sdist=True) == ["opencv-python>=4.6"]


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


def test_floors_agree_with_the_oldest_tested_releases():
    """The OpenCV floor, each extra's floor and the pins CI tests as the oldest must not drift."""
    tomllib = pytest.importorskip("tomllib")
    with open(os.path.join(HERE, "..", "pyproject.toml"), "rb") as fh:
        project = tomllib.load(fh)
    [provider] = project["tool"]["dynamic-metadata"]
    floors = {"opencv": provider["minimum"]}
    for dep in project["project"]["dependencies"]:
        name, _, floor = dep.partition(">=")
        floors[name] = floor
    extras = project["project"]["optional-dependencies"]
    for name in opencv_requirement.DISTRIBUTIONS:
        assert extras[name] == [f"{name}>={floors['opencv']}"]
    with open(os.path.join(HERE, "..", ".ci", "oldest-supported.txt")) as fh:
        pins = dict(line.strip().split("==") for line in fh if line.strip() and not line.startswith("#"))
    assert set(pins) == {"numpy", "opencv-python-headless"}
    for name, floor in (("numpy", floors["numpy"]), ("opencv-python-headless", floors["opencv"])):
        assert pins[name].split(".")[:2] == floor.split("."), (name, pins[name], floor)


def test_the_build_hook_names_no_opencv_in_a_wheel_built_from_an_sdist(tmp_path, monkeypatch):
    provider = opencv_requirement.Provider
    monkeypatch.setattr(opencv_requirement, "target_site_dirs", lambda: site_dir(tmp_path / "site"))
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("SOVELK_OPENCV", raising=False)
    # A checkout, built for an environment without cv2.
    assert provider.dynamic_metadata({"minimum": "4.6"}, {}) == {"dependencies": ["opencv-python-headless>=4.6"]}
    # An unpacked sdist has PKG-INFO at its root.
    (tmp_path / "PKG-INFO").write_text("Metadata-Version: 2.1\nName: sovelk\nVersion: 0.1.0\n")
    assert provider.dynamic_metadata({"minimum": "4.6"}, {}) == {"dependencies": []}
    monkeypatch.setenv("SOVELK_OPENCV", "opencv-contrib-python")
    assert provider.dynamic_metadata({"minimum": "4.6"}, {}) == {"dependencies": ["opencv-contrib-python>=4.6"]}
