"""Objects that misbehave on cue, for the fault-injection battery.

Every hostile object reports the protocol events it sees to one module-level
`Budget`: attribute reads ("attr"), item reads ("item"), iteration steps and
lengths ("iter"), comparisons ("cmp"), hashes ("hash") and truth tests
("truth"). The budget counts the events of the kind it watches and, at the
k-th one, misbehaves in one of three ways:

- "raise": the event raises `Injected`;
- "wrong": the event returns an object of the wrong type (None, a number, a
  string, a bare object, in turn), where the protocol allows any object;
- "mutate": the event first runs the case's mutator, which empties or
  shrinks the containers and tables being walked, then proceeds normally.

A disarmed budget only counts, which tells how many events of each kind a
call makes.
"""

import itertools

import pandas as pd

KINDS = ("attr", "item", "iter", "cmp", "hash", "truth")
MODES = ("raise", "wrong", "mutate")
WRONG_VALUES = (None, 12345, "wrong", object(), -1.5, ())


class Injected(Exception):
    """The fault the battery injects."""


class Budget:
    def __init__(self, kind=None, k=0, mode="raise", mutate=None):
        self.kind, self.k, self.mode, self.mutate = kind, k, mode, mutate
        self.counts = dict.fromkeys(KINDS, 0)
        self.fired = False
        self.busy = False

    def event(self, kind):
        """True when this event must return a wrong value."""
        if self.busy:
            return False
        self.counts[kind] += 1
        if kind != self.kind or self.counts[kind] != self.k:
            return False
        self.fired = True
        if self.mode == "raise":
            raise Injected(f"{kind} #{self.k}")
        if self.mode == "mutate":
            if self.mutate is not None:
                self.busy = True  # the mutator's own reads are not events
                try:
                    self.mutate()
                finally:
                    self.busy = False
            return False
        return True


BUDGET = Budget()


def hit(kind):
    return BUDGET.event(kind)


def wrong():
    return WRONG_VALUES[BUDGET.k % len(WRONG_VALUES)]


def _plain(name):
    return name.startswith("__") and name.endswith("__")


class Iter:
    """An iterator that reports each step."""

    def __init__(self, inner):
        self.inner = iter(inner)

    def __iter__(self):
        return self

    def __next__(self):
        value = next(self.inner)
        return wrong() if hit("iter") else value


class HStr(str):
    """A string label: hash, comparisons, length and methods are events."""

    __slots__ = ()

    def __hash__(self):
        hit("hash")
        return str.__hash__(self)

    def __eq__(self, other):
        return wrong() if hit("cmp") else str.__eq__(self, other)

    def __ne__(self, other):
        return wrong() if hit("cmp") else str.__ne__(self, other)

    def __lt__(self, other):
        return wrong() if hit("cmp") else str.__lt__(self, other)

    def __gt__(self, other):
        return wrong() if hit("cmp") else str.__gt__(self, other)

    def __len__(self):
        hit("iter")
        return str.__len__(self)

    def __getattribute__(self, name):
        if not _plain(name) and hit("attr"):
            return wrong()
        return str.__getattribute__(self, name)


class HFloat(float):
    """A metric value: truth, comparisons and formatting are events."""

    def __bool__(self):
        return wrong() if hit("truth") else float.__bool__(self)

    def __ge__(self, other):
        return wrong() if hit("cmp") else float.__ge__(self, other)

    def __le__(self, other):
        return wrong() if hit("cmp") else float.__le__(self, other)

    def __eq__(self, other):
        return wrong() if hit("cmp") else float.__eq__(self, other)

    __hash__ = float.__hash__

    def __format__(self, spec):
        if hit("attr"):
            return wrong()
        return float.__format__(self, spec)


class HList(list):
    def __iter__(self):
        if hit("iter"):
            return iter([wrong()])
        return Iter(list.__iter__(self))

    def __len__(self):
        hit("iter")
        return list.__len__(self)

    def __getitem__(self, i):
        return wrong() if hit("item") else list.__getitem__(self, i)

    def __contains__(self, x):
        return wrong() if hit("cmp") else list.__contains__(self, x)


class HDict(dict):
    def __iter__(self):
        return Iter(dict.__iter__(self))

    def __len__(self):
        hit("iter")
        return dict.__len__(self)

    def __getitem__(self, key):
        return wrong() if hit("item") else dict.__getitem__(self, key)

    def __contains__(self, key):
        return wrong() if hit("cmp") else dict.__contains__(self, key)

    def keys(self):
        return Iter(dict.keys(self))

    def values(self):
        return Iter(dict.values(self))

    def items(self):
        return Iter(dict.items(self))

    def __getattribute__(self, name):
        if not _plain(name) and hit("attr"):
            return wrong()
        return dict.__getattribute__(self, name)


class HObject:
    """An attribute bag (reports, metric results, generators, settings)."""

    def __init__(self, **attrs):
        object.__setattr__(self, "_attrs", attrs)

    def __getattr__(self, name):
        attrs = object.__getattribute__(self, "_attrs")
        if name in attrs:
            if hit("attr"):
                return wrong()
            return attrs[name]
        raise AttributeError(name)

    def __setattr__(self, name, value):
        object.__getattribute__(self, "_attrs")[name] = value

    def __delattr__(self, name):
        del object.__getattribute__(self, "_attrs")[name]

    def __bool__(self):
        return wrong() if hit("truth") else True


class HSeries(pd.Series):
    """A column whose public attribute reads, item reads and iteration are events."""

    @property
    def _constructor(self):
        return pd.Series

    @property
    def _constructor_expanddim(self):
        return pd.DataFrame

    def __getattribute__(self, name):
        if not name.startswith("_") and hit("attr"):
            return wrong()
        return pd.Series.__getattribute__(self, name)

    def __getitem__(self, key):
        return wrong() if hit("item") else pd.Series.__getitem__(self, key)

    def __iter__(self):
        return Iter(pd.Series.__iter__(self))

    def __len__(self):
        hit("iter")
        return pd.Series.__len__(self)


class HFrame(pd.DataFrame):
    """A table whose public attribute reads, item reads, iteration and length
    are events; its columns come out as HSeries. Tables derived from it are
    plain DataFrames."""

    @property
    def _constructor(self):
        return pd.DataFrame

    @property
    def _constructor_sliced(self):
        return HSeries

    def __getattribute__(self, name):
        if not name.startswith("_") and hit("attr"):
            return wrong()
        return pd.DataFrame.__getattribute__(self, name)

    def __getitem__(self, key):
        return wrong() if hit("item") else pd.DataFrame.__getitem__(self, key)

    def __iter__(self):
        return Iter(pd.DataFrame.__iter__(self))

    def __len__(self):
        hit("iter")
        return pd.DataFrame.__len__(self)




def orphan(*objects):
    """Empty every list and dict that refers to `objects` (the caller's
    containers and any the code under test keeps), except module namespaces
    and the objects' own attribute dicts: afterwards only references held
    elsewhere (a tuple, a native local) keep the objects alive."""
    import gc

    own = set()
    for obj in objects:
        own.add(id(getattr(obj, "__dict__", None)))
        own.add(id(getattr(obj, "_attrs", None)))
    for holder in gc.get_referrers(*objects):  # one walk of the heap for all
        if id(holder) in own:
            continue
        if isinstance(holder, dict) and "__name__" not in holder:
            holder.clear()
        elif isinstance(holder, list):
            holder.clear()
