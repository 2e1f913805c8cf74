"""Builds bone_import for Python from the repository's own C++ sources.

Install from a checkout, with Debian's pybind11, numpy and setuptools:

    /usr/bin/python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation --no-index ./python
"""
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension, build_ext
from setuptools import setup

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def sources() -> list:
    """The library and the tools' writers, exactly the files CMake builds."""
    files = sorted((ROOT / "bone_import").glob("*.cpp")) + sorted((ROOT / "interfaces").glob("*.cpp"))
    files += [ROOT / "tools" / "writers" / name for name in ("animation_data.cpp", "bone_poses.cpp")]
    files += [ROOT / "tools" / "files" / "output_files.cpp"]
    return [str(HERE / "src" / "bindings.cpp")] + [str(f) for f in files]


setup(
    name="bone_import",
    version="0.1.0",
    description="Skeletal-animation import: bone and skin files, sampling, editing, skinning",
    packages=["bone_import"],
    ext_modules=[
        Pybind11Extension(
            "bone_import._bone_import",
            sources(),
            include_dirs=[str(ROOT), str(ROOT / "interfaces"), str(ROOT / "bone_import"), str(ROOT / "tools")],
            define_macros=[("BONE_IMPORT_BUILDING", "1"), ("BONE_IMPORT_STATIC", "1")],
            cxx_std=17,
            extra_compile_args=["-O3"],
        )
    ],
    cmdclass={"build_ext": build_ext},
    install_requires=["numpy"],
    python_requires=">=3.9",
)
