"""quorv's model tools: converters to TorchScript, the catalogue and the fetch program.

Every converted model takes [1, 3, h, w] float 0..1 and returns
[1, 3, s*h, s*w] clamped to 0..1.
"""


class ModelError(ValueError):
    """A model file, a tarball or a catalogue entry that cannot be used."""
