"""The package's ``__path__`` extended as ``pkgutil.extend_path`` extends
it, without loading pkgutil: its collections, functools and weakref cost a
short process (``quarzel validate`` on a few files) a tenth of its time.

A development build keeps the native modules in the build folder's own
``quarzel/`` folder, which is how the package finds them there."""

import os
import sys


def _finder(entry: str):  # as pkgutil.get_importer
    entry = os.fsdecode(entry)
    try:
        return sys.path_importer_cache[entry]
    except KeyError:
        pass
    for hook in sys.path_hooks:
        try:
            finder = hook(entry)
        except ImportError:
            continue
        sys.path_importer_cache.setdefault(entry, finder)
        return finder
    return None


def extend_path(path, name: str):
    """``path`` with every folder named ``name`` of a ``sys.path`` entry
    added (as that entry's finder finds it), and the lines of every
    ``name.pkg`` file there; for a top-level package."""
    if not isinstance(path, list):
        return path
    path = path[:]
    for entry in sys.path:
        if not isinstance(entry, str):
            continue
        finder = _finder(entry)
        if finder is not None:
            portions = []
            if hasattr(finder, "find_spec"):
                found = finder.find_spec(name)
                if found is not None:
                    portions = found.submodule_search_locations or []
            elif hasattr(finder, "find_loader"):
                _, portions = finder.find_loader(name)
            for portion in portions:
                if portion not in path:
                    path.append(portion)
        pkg_file = os.path.join(entry, name + ".pkg")
        if os.path.isfile(pkg_file):
            try:
                f = open(pkg_file)
            except OSError as e:
                sys.stderr.write(f"Can't open {pkg_file}: {e}\n")
                continue
            with f:
                for line in f:
                    line = line.rstrip("\n")
                    if line and not line.startswith("#"):
                        path.append(line)  # as pkgutil: not checked for existence
    return path
