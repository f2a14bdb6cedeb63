"""The package's build backend: scikit-build-core, taken from this checkout's bootstrapped interpreter
when there is one, so that `pip install .` in a virtual environment needs no package index; elsewhere
pip installs scikit-build-core into the isolated build environment as usual."""
import pathlib
import sys

_BOOTSTRAP_PACKAGES = pathlib.Path(__file__).resolve().parent.parent / ".toolchain/root/usr/lib/python3/dist-packages"
_REQUIRES = ["scikit-build-core>=0.10"]

if (_BOOTSTRAP_PACKAGES / "scikit_build_core").is_dir() and sys.version_info[:2] == (3, 14):
    sys.path.append(str(_BOOTSTRAP_PACKAGES))

try:
    from scikit_build_core import build as _backend
except ImportError:  # pip asks for the requirements first and calls again with them installed
    _backend = None


def _requires(hook, config_settings):
    if _backend is None:
        return list(_REQUIRES)
    return getattr(_backend, hook)(config_settings)


def get_requires_for_build_wheel(config_settings=None):
    return _requires("get_requires_for_build_wheel", config_settings)


def get_requires_for_build_sdist(config_settings=None):
    return _requires("get_requires_for_build_sdist", config_settings)


def get_requires_for_build_editable(config_settings=None):
    return _requires("get_requires_for_build_editable", config_settings)


def __getattr__(name):
    if _backend is None:
        raise AttributeError(name)
    return getattr(_backend, name)
