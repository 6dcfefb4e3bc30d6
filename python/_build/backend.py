# SPDX-License-Identifier: MIT
"""The Python package's build backend (PEP 517), written with the standard
library alone, so that `pip install ./python` works offline, in a virtual
environment or not, with nothing to fetch from a package index.

It builds a wheel of the pure-Python package vontrel/ (py.typed included)
and a source archive of this folder. The name, summary, licence and Python
version come from pyproject.toml's [project] table, the version from
vontrel/__init__.py's __version__ (which a test keeps equal to the
project's), the long description from README.md.
"""

import ast
import base64
import hashlib
import io
import os
import tarfile
import zipfile

try:
    import tomllib
except ModuleNotFoundError:  # Python before 3.11
    import tomli as tomllib  # type: ignore[no-redef]

_HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "vontrel"
# A reproducible archive: every member carries this time (1980-01-01, the
# earliest a zip file can hold), unless SOURCE_DATE_EPOCH says otherwise.
_EPOCH = max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def _project():
    with open(os.path.join(_HERE, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]


def _version():
    with open(os.path.join(_HERE, _PACKAGE, "__init__.py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    for node in tree.body:
        if (isinstance(node, ast.Assign) and len(node.targets) == 1
                and isinstance(node.targets[0], ast.Name)
                and node.targets[0].id == "__version__"):
            return ast.literal_eval(node.value)
    raise RuntimeError(f"{_PACKAGE}/__init__.py sets no __version__")


def _metadata():
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {_version()}",
        f"Summary: {project['description']}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f"Requires-Dist: {r}; extra == \"{extra}\"" for r in requirements]
    lines.append("Description-Content-Type: text/markdown")
    with open(os.path.join(_HERE, project["readme"]), encoding="utf-8") as f:
        readme = f.read()
    return "\n".join(lines) + "\n\n" + readme


def _package_files():
    """The package's files, as paths relative to this folder, sorted."""
    root = os.path.join(_HERE, _PACKAGE)
    return sorted(os.path.join(_PACKAGE, name) for name in os.listdir(root)
                  if name.endswith(".py") or name == "py.typed")


def _dist_name():
    return f"{_project()['name']}-{_version()}"


def _write(archive, name, data):
    info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
    info.external_attr = 0o644 << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(info, data)


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _dist_info():
    """The .dist-info folder's files but RECORD, as (name, bytes) pairs."""
    dist_info = f"{_dist_name()}.dist-info"
    wheel = ("Wheel-Version: 1.0\nGenerator: vontrel-build\nRoot-Is-Purelib: true\n"
             "Tag: py3-none-any\n")
    return dist_info, [(f"{dist_info}/METADATA", _metadata().encode()),
                       (f"{dist_info}/WHEEL", wheel.encode())]


def _build(wheel_directory, files):
    dist_info, meta = _dist_info()
    name = f"{_dist_name()}-py3-none-any.whl"
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, name), "w") as wheel:
        for arcname, data in files + meta:
            _write(wheel, arcname, data)
            records.append(_record_line(arcname, data))
        records.append(f"{dist_info}/RECORD,,")
        _write(wheel, f"{dist_info}/RECORD", ("\n".join(records) + "\n").encode())
    return name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info, meta = _dist_info()
    for arcname, data in meta:
        path = os.path.join(metadata_directory, arcname)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = []
    for path in _package_files():
        with open(os.path.join(_HERE, path), "rb") as f:
            files.append((path.replace(os.sep, "/"), f.read()))
    return _build(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A path file that puts this folder on sys.path.
    return _build(wheel_directory, [(f"{_PACKAGE}.pth", (_HERE + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = _dist_name()
    name = f"{base}.tar.gz"
    members = ["pyproject.toml", _project()["readme"], os.path.join("_build", "backend.py")]
    members += _package_files()

    def add(tar, arcname, data):
        info = tarfile.TarInfo(f"{base}/{arcname}")
        info.size = len(data)
        info.mtime = _EPOCH
        info.mode = 0o644
        tar.addfile(info, io.BytesIO(data))

    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for member in members:
            with open(os.path.join(_HERE, member), "rb") as f:
                add(tar, member.replace(os.sep, "/"), f.read())
        add(tar, "PKG-INFO", _metadata().encode())
    return name
