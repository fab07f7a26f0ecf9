"""Build the sdist and, from it, the wheel; check what each one holds.

    python3 tools/check_dist.py          (from the checkout; needs `build`
                                          and scikit-build-core, no network)

The wheel must hold the extension modules (lumora, and lumora_ld when the
checkout has its models), the stub-only packages and the metadata,
nothing else; its metadata must carry the licence (SPDX expression and
file), the supported Pythons, the NumPy requirement and the `dask` extra.  The
sdist must hold every source, test, example, benchmark, tool and docs file of
the checkout and no build output.  Building the wheel from the sdist
(what `python -m build` does) shows that the sdist is enough to build.
"""

import email.parser
import importlib.machinery
import os
import subprocess
import sys
import tarfile
import tempfile
import tomllib
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Folders whose every file belongs in the sdist, and the single files.
SOURCE_DIRS = ["src", "tests", "examples", "benchmarks", "tools", "docs", ".ci"]
TOP_FILES = ["pyproject.toml", "CMakeLists.txt", "Makefile", "README.md", "LICENSE", "CITATION.cff", ".gitignore"]
# What a build or a test run leaves behind; none of it may reach the sdist.
OUTPUT_DIRS = {"build", "dist", "__pycache__", ".pytest_cache", ".mypy_cache", ".hypothesis"}
OUTPUT_SUFFIXES = (".so", ".o", ".a", ".pyc", ".whl", ".tar.gz", ".png")
PYTHONS = ["3.11", "3.12", "3.13", "3.14"]
# lumora_ld is built when its models are there (CMakeLists.txt, the same test).
LD_MODELS = os.path.join(ROOT, "src", "ld", "models")


def checkout_files():
    files = set(TOP_FILES)
    for top in SOURCE_DIRS:
        for folder, dirs, names in os.walk(os.path.join(ROOT, top)):
            dirs[:] = [d for d in dirs if d not in OUTPUT_DIRS]
            for name in names:
                if not name.endswith(OUTPUT_SUFFIXES):
                    files.add(os.path.relpath(os.path.join(folder, name), ROOT))
    return files


def is_output(path):
    return bool(OUTPUT_DIRS.intersection(path.split("/")[:-1])) or path.endswith(OUTPUT_SUFFIXES)


def main():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    name, version = project["name"], project["version"]
    problems = []
    with tempfile.TemporaryDirectory() as out:
        built = subprocess.run([sys.executable, "-m", "build", "--no-isolation", "--outdir", out, ROOT],
                               capture_output=True, text=True)
        if built.returncode != 0:
            sys.exit(f"python -m build failed:\n{built.stdout}{built.stderr}")
        (sdist,) = [f for f in os.listdir(out) if f.endswith(".tar.gz")]
        (wheel,) = [f for f in os.listdir(out) if f.endswith(".whl")]

        prefix = f"{name}-{version}/"
        with tarfile.open(os.path.join(out, sdist)) as tar:
            members = {m.name.removeprefix(prefix) for m in tar.getmembers() if m.isfile()}
        members.discard("PKG-INFO")
        problems += [f"sdist lacks {path}" for path in sorted(checkout_files() - members)]
        problems += [f"sdist holds build output {path}" for path in sorted(members) if is_output(path)]

        info = f"{name}-{version}.dist-info/"
        expected = {
            name + importlib.machinery.EXTENSION_SUFFIXES[0],
            f"{name}-stubs/__init__.pyi",
            "lumora_ld-stubs/__init__.pyi",
            info + "METADATA", info + "WHEEL", info + "RECORD", info + "licenses/LICENSE",
        }
        if any(f.endswith(".cpp") for f in os.listdir(LD_MODELS)):
            expected.add("lumora_ld" + importlib.machinery.EXTENSION_SUFFIXES[0])
        with zipfile.ZipFile(os.path.join(out, wheel)) as zf:
            contents = set(zf.namelist())
            metadata = email.parser.Parser().parsestr(zf.read(info + "METADATA").decode())
        problems += [f"wheel lacks {path}" for path in sorted(expected - contents)]
        problems += [f"wheel holds {path}" for path in sorted(contents - expected)]

        wanted = {
            "License-Expression": ["BSD-3-Clause"],
            "License-File": ["LICENSE"],
            "Provides-Extra": ["dask"],
            "Requires-Dist": ["numpy>=1.23", 'dask; extra == "dask"', 'distributed; extra == "dask"'],
        }
        for field, values in wanted.items():
            if metadata.get_all(field) != values:
                problems.append(f"METADATA {field}: {metadata.get_all(field)}, expected {values}")
        classifiers = metadata.get_all("Classifier") or []
        problems += [f"METADATA lacks the classifier for Python {v}" for v in PYTHONS
                     if f"Programming Language :: Python :: {v}" not in classifiers]

    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        sys.exit(1)
    print(f"{sdist}: {len(members)} files, no build output; {wheel}: modules, stubs, metadata")


if __name__ == "__main__":
    main()
