"""scikit-build's entry point: CMake builds the module and installs the
package's files (python/CMakeLists.txt lists them), and the version is the
one project() in CMakeLists.txt gives, read here so that it is written once.
The metadata is in pyproject.toml."""
import re
from pathlib import Path

from skbuild import setup

cmake_lists = (Path(__file__).parent / "CMakeLists.txt").read_text(encoding="utf-8")
version = re.search(r"project\(termcount\s+VERSION\s+([0-9.]+)", cmake_lists).group(1)

setup(
    version=version,
    packages=["termcount"],
    package_dir={"": "python"},
    # CMake installs the package folder under python/, where package_dir
    # expects it.
    cmake_install_dir="python",
    cmake_args=["-DBUILD_TESTING=OFF"],
)
