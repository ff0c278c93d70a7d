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


class ConvNet(torch.nn.Module):
    """A small learned-looking enlarger: `layers` 3x3 convolutions (so each
    result pixel sees `layers` input pixels on each side), then a pixel
    shuffle, added to the nearest-neighbour enlargement."""

    def __init__(self, scale: int, layers: int, features: int = 16, seed: int = 1) -> None:
        super().__init__()
        torch.manual_seed(seed)
        convs = [torch.nn.Conv2d(3, features, 3, padding=1)]
        for _ in range(layers - 2):
            convs.append(torch.nn.Conv2d(features, features, 3, padding=1))
        convs.append(torch.nn.Conv2d(features, 3 * scale * scale, 3, padding=1))
        self.convs = torch.nn.ModuleList(convs)
        self.act = torch.nn.PReLU(features, 0.1)
        self.shuffle = torch.nn.PixelShuffle(scale)
        self.scale = scale

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = x
        n = len(self.convs)
        for i, conv in enumerate(self.convs):
            y = conv(y)
            if i < n - 1:
                y = self.act(y)
        base = torch.nn.functional.interpolate(x, scale_factor=float(self.scale), mode="nearest")
        return base + 0.1 * self.shuffle(y)


class Compact(torch.nn.Module):
    """The size of a compact real-world enlarger: conv 3->64, 16 x (conv 64->64
    + PReLU), conv 64->48, pixel shuffle x4. Random weights: for timing."""

    def __init__(self) -> None:
        super().__init__()
        torch.manual_seed(2)
        layers = [torch.nn.Conv2d(3, 64, 3, padding=1), torch.nn.PReLU(64)]
        for _ in range(16):
            layers += [torch.nn.Conv2d(64, 64, 3, padding=1), torch.nn.PReLU(64)]
        layers += [torch.nn.Conv2d(64, 48, 3, padding=1), torch.nn.PixelShuffle(4)]
        self.body = torch.nn.Sequential(*layers)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.body(x)


class NaNs(torch.nn.Module):
    """A broken enlarger: x2 nearest, NaN wherever the input is pure white."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        white = (x.amin(dim=1, keepdim=True) >= 1.0).expand_as(x)
        y = torch.where(white, torch.full_like(x, float("nan")), x)
        return torch.nn.functional.interpolate(y, scale_factor=2.0, mode="nearest")


class Infinite(torch.nn.Module):
    """A broken restorer: divides by zero."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return x / 0.0


class OneChannel(torch.nn.Module):
    """A broken enlarger: x2 grey, one channel."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return torch.nn.functional.interpolate(x[:, :1], scale_factor=2.0, mode="nearest")


class OddSize(torch.nn.Module):
    """A broken enlarger: one pixel more than twice the size."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return torch.nn.functional.interpolate(x, size=(2 * x.shape[2] + 1, 2 * x.shape[3] + 1), mode="nearest")


class Integers(torch.nn.Module):
    """A broken restorer: 8-bit integers instead of floats."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return (x * 255).to(torch.uint8)


class Pair(torch.nn.Module):
    """A broken restorer: returns a tuple."""

    def forward(self, x: torch.Tensor):
        return x, x


class ThrowsOnLarge(torch.nn.Module):
    """x2 nearest that fails like the allocator when a side exceeds 48
    pixels: stands in for a model that runs out of memory on large tiles."""

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        if x.shape[2] > 48 or x.shape[3] > 48:
            raise RuntimeError("DefaultCPUAllocator: can't allocate memory: you tried to allocate 99999999999 bytes")
        return torch.nn.functional.interpolate(x, scale_factor=2.0, mode="nearest")


def main() -> None:
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, module in (("double_nearest", DoubleNearest()), ("brighten", Brighten()),
                         ("flatten", Flatten()), ("conv_x2", ConvNet(2, 3)), ("conv_x4", ConvNet(4, 5, seed=3)),
                         ("restorer", ConvNet(1, 4, seed=4)), ("compact_x4", Compact()), ("nan", NaNs()),
                         ("infinite", Infinite()), ("one_channel", OneChannel()), ("odd_size", OddSize()),
                         ("integers", Integers()), ("pair", Pair()), ("throws_on_large", ThrowsOnLarge())):
        torch.jit.script(module).save(os.path.join(out, name + ".pt"))
    torch.save(ConvNet(2, 3).state_dict(), os.path.join(out, "state_dict.pt"))
    with open(os.path.join(out, "not_a_model.pt"), "w") as f:
        f.write("not a model\n")


if __name__ == "__main__":
    main()
