"""Builds bone_import for Python with the project's own CMake build.

Install from a checkout, with Debian's CMake, pybind11, numpy and setuptools:

    /usr/bin/python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation --no-index ./python

build_ext configures the CMake project (the library alone, static, with
BONE_IMPORT_BUILD_PYTHON=ON; with BONE_IMPORT_BUILD_TOOLS=ON in the environment
the tools too, so that the module also converts scene files through Assimp) in this package's build folder, builds the module
target there and copies the module it made into the package. The build folder
is kept between installs, so CMake rebuilds exactly what changed, headers
included.

The source distribution carries the C++ it builds from (the library, its
interfaces, the tools' writers the module links and the CMake files) in cpp/,
laid out as in the project, so that `pip wheel` of it builds with nothing
downloaded:

    cd python && python setup.py sdist
    pip wheel --no-build-isolation --no-index dist/bone_import-*.tar.gz
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

HERE = Path(__file__).resolve().parent
# What the module's CMake build reads, relative to the project root.
PROJECT_FILES = ["CMakeLists.txt", "cmake", "interfaces", "bone_import", "tools/CMakeLists.txt", "tools/writers",
                 "tools/validate", "tools/files", "tools/process", "python/CMakeLists.txt", "python/src"]


def cmake_project_root() -> Path:
    """The folder whose CMakeLists.txt declares the BoneImport project."""
    for folder in (HERE, HERE.parent, HERE / "cpp"):
        lists = folder / "CMakeLists.txt"
        if lists.is_file() and "project(BoneImport " in lists.read_text(encoding="utf-8"):
            return folder
    raise RuntimeError(f"no BoneImport CMakeLists.txt in {HERE}, {HERE.parent} or {HERE / 'cpp'}")


def cache_value(cache: Path, name: str) -> str:
    """A variable's value in a CMakeCache.txt, or "" when it is not there."""
    for line in cache.read_text(encoding="utf-8").splitlines():
        key, _, value = line.partition("=")
        if key.split(":")[0] == name:
            return value
    return ""


class CMakeBuild(build_ext):
    """Builds each extension as the CMake target bone_import_python."""

    def build_extension(self, ext: Extension) -> None:
        root = cmake_project_root()
        build = Path(self.build_temp).resolve() / "cmake"
        cache = build / "CMakeCache.txt"
        # A folder configured from another checkout or for another Python is
        # not reused: start afresh rather than mix its results into this one.
        if cache.is_file() and (
            Path(cache_value(cache, "CMAKE_HOME_DIRECTORY")) != root
            or Path(cache_value(cache, "PYTHON_EXECUTABLE")).resolve() != Path(sys.executable).resolve()
        ):
            shutil.rmtree(build)
        configure = [
            "cmake", "-S", str(root), "-B", str(build),
            f"-DCMAKE_BUILD_TYPE={os.environ.get('CMAKE_BUILD_TYPE') or 'Release'}",
            "-DBUILD_SHARED_LIBS=OFF",
            "-DBONE_IMPORT_BUILD_PYTHON=ON",
            "-DBONE_IMPORT_BUILD_TESTS=OFF",
            f"-DBONE_IMPORT_BUILD_TOOLS={'ON' if os.environ.get('BONE_IMPORT_BUILD_TOOLS') == 'ON' else 'OFF'}",
            "-DBONE_IMPORT_BUILD_EXAMPLES=OFF",
            "-DBONE_IMPORT_BUILD_BENCHMARKS=OFF",
            f"-DPYTHON_EXECUTABLE={sys.executable}",
        ]
        if not cache.is_file() and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        try:  # pybind11 from pip knows its CMake files; Debian's are on CMake's own path
            import pybind11

            if Path(pybind11.get_cmake_dir()).is_dir():
                configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "bone_import_python", "--parallel", jobs],
                       check=True)

        built = Path((build / "python_module_path.txt").read_text(encoding="utf-8").strip())
        target = Path(self.get_ext_fullpath(ext.name))
        if not built.name.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
            raise RuntimeError(f"CMake built {built.name} for another Python than {sys.executable}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


class SourceDistribution(sdist):
    """Adds the project's C++ sources and CMake files under cpp/."""

    def make_release_tree(self, base_dir: str, files: list) -> None:
        super().make_release_tree(base_dir, files)
        root = cmake_project_root()
        for name in PROJECT_FILES:
            source, target = root / name, Path(base_dir) / "cpp" / name
            if source.is_dir():
                shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(source, target)


def project_version() -> str:
    """The version in the project's CMakeLists.txt, the one source of it."""
    lists = (cmake_project_root() / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(BoneImport VERSION ([0-9.]+)", lists).group(1)


setup(
    name="bone_import",
    version=project_version(),
    description="Skeletal-animation import: bone and skin files, sampling, editing, skinning",
    long_description=(Path(__file__).resolve().parent / "README.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    packages=["bone_import"],
    package_data={"bone_import": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("bone_import._bone_import", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "sdist": SourceDistribution},
    license="MIT",
    license_files=["LICENSE"],
    install_requires=["numpy"],
    python_requires=">=3.9",
)
