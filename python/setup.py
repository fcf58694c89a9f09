"""Builds the Python module tarn with this repository's CMake project.

The extension tarn._tarn is the CMake target tarn_python, built against a static copy of the
library so the wheel needs no libtarn_* beside it, for the interpreter running this script.
Debian's setuptools and wheel are all it needs; build with

    python3 -m pip install . --no-build-isolation

(from the repository root or from this folder). CMAKE_BUILD_PARALLEL_LEVEL and
CMAKE_CXX_COMPILER_LAUNCHER in the environment reach the CMake build.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

PYTHON_DIR = Path(__file__).resolve().parent
PROJECT_DIR = PYTHON_DIR.parent
EXTENSION = "tarn._tarn"


def project_version() -> str:
    text = (PROJECT_DIR / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*tarn_c_sdk\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("no project(tarn_c_sdk VERSION ...) in CMakeLists.txt")
    return match.group(1)


class CMakeBuildExt(build_ext):
    """Configures the CMake project once per build folder and builds only the module target."""

    def build_extension(self, ext: Extension) -> None:
        if ext.name != EXTENSION:
            return super().build_extension(ext)
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("building tarn needs cmake (apt-get install cmake)")
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            cmake, "-S", str(PROJECT_DIR), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_SHARED_LIBS=OFF",
            "-DTARN_BUILD_TESTS=OFF",
            "-DTARN_BUILD_BENCH=OFF",
            "-DTARN_BUILD_FUZZ=OFF",
            "-DTARN_BUILD_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run([cmake, "--build", str(build_dir), "--target", "tarn_python"], check=True)
        built = sorted((build_dir / "python" / "tarn").glob("_tarn.*so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one built _tarn module in {build_dir}, found {built}")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        if built[0].name != target.name:
            raise RuntimeError(f"the module was built as {built[0].name}, for another interpreter "
                               f"than {sys.executable} ({target.name})")
        shutil.copyfile(built[0], target)


# Intermediate files go below the repository's build/ folder, out of the sources.
BUILD_BASE = os.environ.get("TARN_PYTHON_BUILD_BASE", str(PROJECT_DIR / "build" / "python"))

setup(
    name="tarn",
    version=project_version(),
    description="Frames of the KESO networked depth sensor as NumPy arrays",
    python_requires=">=3.7",
    install_requires=["numpy"],
    packages=["tarn"],
    package_data={"tarn": ["py.typed", "*.pyi"]},
    ext_modules=[Extension(EXTENSION, sources=[])],
    cmdclass={"build_ext": CMakeBuildExt},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
    zip_safe=False,
)
