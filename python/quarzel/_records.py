"""Tuples with a name for each field, as ``collections.namedtuple`` makes
them (construction by position or keyword, defaults, ``_fields``,
``_field_defaults``, ``_make``, ``_replace``, ``_asdict``, the repr,
copying and pickling), without loading collections: a short ``quarzel
validate`` process needs three such classes and nothing else of it."""

import sys


def record(name: str, fields: list[str], defaults: tuple = (), doc: str | None = None) -> type:
    fields = tuple(fields)
    count = len(fields)
    first_default = count - len(defaults)
    field_defaults = dict(zip(fields[first_default:], defaults))

    def __new__(cls, *args, **kwargs):
        if len(args) > count:
            raise TypeError(f"{name}.__new__() takes {count + 1} positional arguments but "
                            f"{len(args) + 1} were given")
        values = list(args)
        for i in range(len(args), count):
            field = fields[i]
            if field in kwargs:
                values.append(kwargs.pop(field))
            elif i >= first_default:
                values.append(defaults[i - first_default])
            else:
                raise TypeError(f"{name}.__new__() missing required argument: {field!r}")
        if kwargs:
            taken = [k for k in kwargs if k in fields]
            what = (f"got multiple values for argument {taken[0]!r}" if taken else
                    f"got an unexpected keyword argument {next(iter(kwargs))!r}")
            raise TypeError(f"{name}.__new__() {what}")
        return tuple.__new__(cls, values)

    @classmethod
    def _make(cls, iterable):
        values = tuple.__new__(cls, iterable)
        if len(values) != count:
            raise TypeError(f"Expected {count} arguments, got {len(values)}")
        return values

    def _replace(self, **kwargs):
        values = self._make([kwargs.pop(f, v) for f, v in zip(fields, self)])
        if kwargs:
            raise TypeError(f"Got unexpected field names: {list(kwargs)!r}")
        return values

    def __repr__(self):
        return f"{type(self).__name__}(" + ", ".join(
            f"{f}={v!r}" for f, v in zip(fields, self)) + ")"

    def _asdict(self):
        return dict(zip(fields, self))

    def __getnewargs__(self):
        return tuple(self)

    namespace = {
        "__doc__": doc or f"{name}({', '.join(fields)})", "__slots__": (),
        "_fields": fields, "_field_defaults": field_defaults, "__match_args__": fields,
        "__new__": __new__, "_make": _make, "_replace": _replace, "__repr__": __repr__,
        "_asdict": _asdict, "__getnewargs__": __getnewargs__,
        "__module__": sys._getframe(1).f_globals.get("__name__", "__main__"),
    }
    for index, field in enumerate(fields):
        namespace[field] = property(lambda self, i=index: self[i],
                                    doc=f"Alias for field number {index}")
    return type(name, (tuple,), namespace)
