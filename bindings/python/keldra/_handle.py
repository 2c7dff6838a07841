"""Ownership of one library handle: released once, by whoever lets go last."""


class Handle:
    """Owns a handle and its free function.

    `release()` frees at most once, even when called from several threads or
    again from `__del__`: the address sits in a one-element list and
    `list.pop` is atomic under the GIL.
    """

    __slots__ = ("_box", "_free", "__weakref__")

    def __init__(self, ptr, free):
        self._box = [ptr] if ptr else []
        self._free = free

    @property
    def ptr(self):
        box = self._box
        if not box:
            raise ValueError("operation on a closed Keldra object")
        return box[0]

    @property
    def alive(self):
        return bool(self._box)

    def release(self):
        try:
            ptr = self._box.pop()
        except IndexError:
            return
        self._free(ptr)

    def __del__(self):
        self.release()
