"""Scripts the tiny TorchScript models the upscale-model tests load."""
import os
import sys

import torch


class DoubleNearest(torch.nn.Module):
    """Doubles width and height by repeating pixels."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return torch.nn.functional.interpolate(x, scale_factor=2.0, mode="nearest")


class Brighten(torch.nn.Module):
    """Same size, every value raised by 0.25 (clamping is the caller's job)."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x + 0.25


class Flatten(torch.nn.Module):
    """A broken upscaler: returns a 2-D tensor."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x.flatten(1)


def main() -> None:
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, module in (("double_nearest", DoubleNearest()), ("brighten", Brighten()),
                         ("flatten", Flatten())):
        torch.jit.script(module).save(os.path.join(out, name + ".pt"))
    with open(os.path.join(out, "not_a_model.pt"), "w") as f:
        f.write("not a model\n")


if __name__ == "__main__":
    main()
