"""The build backend of the repository root: setuptools, run on python/setup.py.

pip calls it with absolute output folders; each hook runs with python/ as its working folder,
where setuptools looks for setup.py.
"""
import contextlib
import os
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional

from setuptools import build_meta as _setuptools

_PYTHON_DIR = Path(__file__).resolve().parent.parent


@contextlib.contextmanager
def _in_python_dir() -> Iterator[None]:
    previous = os.getcwd()
    os.chdir(_PYTHON_DIR)
    try:
        yield
    finally:
        os.chdir(previous)


def get_requires_for_build_wheel(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    with _in_python_dir():
        return _setuptools.get_requires_for_build_wheel(config_settings)


def get_requires_for_build_sdist(config_settings: Optional[Dict[str, Any]] = None) -> List[str]:
    with _in_python_dir():
        return _setuptools.get_requires_for_build_sdist(config_settings)


def prepare_metadata_for_build_wheel(metadata_directory: str,
                                     config_settings: Optional[Dict[str, Any]] = None) -> str:
    metadata_directory = os.path.abspath(metadata_directory)
    with _in_python_dir():
        return _setuptools.prepare_metadata_for_build_wheel(metadata_directory, config_settings)


def build_wheel(wheel_directory: str, config_settings: Optional[Dict[str, Any]] = None,
                metadata_directory: Optional[str] = None) -> str:
    wheel_directory = os.path.abspath(wheel_directory)
    if metadata_directory is not None:
        metadata_directory = os.path.abspath(metadata_directory)
    with _in_python_dir():
        return _setuptools.build_wheel(wheel_directory, config_settings, metadata_directory)


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, Any]] = None) -> str:
    # A source distribution of python/ alone would lack the library it builds against.
    raise NotImplementedError("build tarn from a clone of the repository: pip install .")
