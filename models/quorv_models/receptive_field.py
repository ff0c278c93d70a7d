"""How far a model looks: input pixels per side that one result pixel depends on."""
import torch


def receptive_field(module: torch.nn.Module, scale: int, limit: int = 128) -> int:
    """Follows the gradient of the result pixels of the centre input pixel back
    to the input and returns the farthest input pixel they reach, per side.
    Inputs are random so no path is cut by a dead activation; borders farther
    than `limit` are not looked for."""
    size = 2 * limit + 1
    x = torch.rand(1, 3, size, size, generator=torch.Generator().manual_seed(3), requires_grad=True)
    y = module(x)
    centre = slice(limit * scale, (limit + 1) * scale)
    y[:, :, centre, centre].sum().backward()
    reached = (x.grad.abs().sum(dim=(0, 1)) > 0).nonzero()
    return int((reached - limit).abs().max()) if len(reached) else 0
