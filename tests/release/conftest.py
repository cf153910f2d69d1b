"""The checks of a signed release that scripts/check-release.sh --make made:
its files in dist/, the two Windows builds it signed (x86 and x64), and the
key folder, which the checks use to verify the signatures and to look for the
key in what was made. A test of a zip or of the build it holds runs once for
each of the two (fixture `machine`)."""

import subprocess
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
pytest_plugins = ["allowed_skips"]


def pytest_addoption(parser):
    group = parser.getgroup("kq-release", "the release under test")
    group.addoption("--key-dir", required=True,
                    help="the folder of the throwaway signing key (cert.pem, key.der, "
                         "sign.p12, password)")
    group.addoption("--windows-build", default=str(ROOT / "build" / "release" / "windows-dev"),
                    help="the signed x86 Windows build (default build/release/windows-dev)")
    group.addoption("--windows-build-x64",
                    default=str(ROOT / "build" / "release" / "windows-dev-x64"),
                    help="the signed x64 Windows build (default build/release/windows-dev-x64)")


@pytest.fixture(scope="session")
def key(request):
    return Path(request.config.getoption("key_dir"))


@pytest.fixture(scope="session", params=["x86", "x64"])
def machine(request):
    """The processor of one Windows zip and build, as tests/pe_check.py's
    --machine names it."""
    return request.param


@pytest.fixture(scope="session")
def windows(request, machine):
    option = {"x86": "windows_build", "x64": "windows_build_x64"}[machine]
    return Path(request.config.getoption(option))


@pytest.fixture(scope="session")
def version():
    return (ROOT / "VERSION").read_text(encoding="ascii").strip()


@pytest.fixture(scope="session")
def dist():
    return ROOT / "dist"


@pytest.fixture(scope="session")
def zip_path(dist, version, machine):
    found = sorted(dist.glob(f"kq6200ports-{version}-*windows-{machine}.zip"))
    assert len(found) == 1, f"one {machine} Windows zip of version {version} in dist/: {found}"
    return found[0]


@pytest.fixture(scope="session")
def unzipped(zip_path, tmp_path_factory):
    """The zip's one folder, unpacked."""
    into = tmp_path_factory.mktemp("zip")
    zipfile.ZipFile(zip_path).extractall(into)
    folders = list(into.iterdir())
    assert len(folders) == 1, f"the zip holds {folders}"
    return folders[0]


@pytest.fixture(scope="session")
def debs(dist, version):
    found = {path.name.rsplit("_", 1)[1][:-4]: path for path in dist.glob(f"kqports_{version}_*.deb")}
    assert sorted(found) == ["amd64", "arm64", "armhf"], f"packages in dist/: {sorted(found)}"
    return found


@pytest.fixture(scope="session")
def unpacked(debs, tmp_path_factory):
    """arch -> the package's files, unpacked."""
    root = tmp_path_factory.mktemp("deb")
    trees = {}
    for arch, deb in debs.items():
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root / arch)], check=True)
        trees[arch] = root / arch
    return trees
