"""The common frame of every converted model: value range, clamp, scripting."""
import os

import torch


class Framed(torch.nn.Module):
    """Runs `net` on 0..1 pictures: scales the values to the network's range and
    back, and clamps the result to 0..1."""

    def __init__(self, net: torch.nn.Module, value_range: float = 1.0):
        super().__init__()
        self.net = net
        self.value_range = value_range

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if self.value_range != 1.0:
            return torch.clamp(self.net(x * self.value_range) / self.value_range, 0.0, 1.0)
        return torch.clamp(self.net(x), 0.0, 1.0)


def script(module: torch.nn.Module, probe_size: int = 24) -> torch.jit.ScriptModule:
    """Traces `module` into TorchScript. The networks are fixed graphs of
    convolutions and resamplings whose sizes all follow the input's, so a trace
    on one small picture holds for every size (the tests check two sizes)."""
    module = module.eval()
    for p in module.parameters():
        p.requires_grad_(False)
    probe = torch.rand(1, 3, probe_size, probe_size + 3, generator=torch.Generator().manual_seed(1))
    with torch.no_grad():
        return torch.jit.trace(module, probe, check_trace=False)


def save(scripted: torch.jit.ScriptModule, path: str) -> None:
    """Writes `scripted` to `path` through a temporary file in the same folder,
    so a reader never sees half a model."""
    folder = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(folder, "." + os.path.basename(path) + ".part")
    try:
        torch.jit.save(scripted, temporary)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
