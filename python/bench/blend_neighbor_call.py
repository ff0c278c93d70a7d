"""Times blend_neighbor_tensor called through the Python module, to compare
with the same calls from C++ (quorv_bench --benchmark_filter=BlendNeighborFromCpp).

    PYTHONPATH=build/python /usr/bin/python3 python/bench/blend_neighbor_call.py

A 1024 strip is 1.5 MB: whether glibc serves it from the heap or maps fresh
pages each call depends on the process's history and costs far more than the
call itself. Run both sides with the same fixed allocator settings to compare:

    export MALLOC_MMAP_THRESHOLD_=33554432 MALLOC_TRIM_THRESHOLD_=268435456
"""

import timeit
from types import SimpleNamespace

import torch

import quorv

Q = quorv.Quorv_Image


def states():
    native = quorv.NodeState()
    native.SIZE.inpaint_border_margin, native.SIZE.inpaint_blur_margin, native.SIZE.shift = 64, 16, 8
    host = SimpleNamespace(
        SIZE=SimpleNamespace(fullW=1024, fullH=1024, inpaint_border_margin=64, inpaint_blur_margin=16, shift=8,
                             composite_blur_margin=32, shifttl=0, inpaint_max=1.0),
        PARAMS=SimpleNamespace(Tile_Fusion_Mode="Tile_Fusion", Tile_Fusion_Blend=1.0, FLUX_Kontext=False,
                               Fast_1_Tile_Preview=False, Debug_Grid_Overlay=False),
        OUTPUTS=SimpleNamespace(image=torch.zeros(1, 8, 8, 3), grid_images_all=[torch.zeros(1, 8, 8, 3)] * 12,
                                grid_images=[]),
        SEGMENTS=SimpleNamespace(segms_cropped_masks=[]),
        API=SimpleNamespace(token="bench"))
    return {"quorv.NodeState": native, "host node object": host}


def main():
    print(f"torch threads: {torch.get_num_threads()}")
    for size in (64, 1024):
        tile, neighbour = torch.rand(1, size, size, 3), torch.rand(1, size, size, 3)
        cropmargin = size // 8
        for label, SELF in states().items():
            call = lambda: Q.blend_neighbor_tensor(SELF, tile, neighbour, cropmargin, "top", cropmargin // 4, "cpu")
            number = 2000 if size == 64 else 200
            best = min(timeit.repeat(call, number=number, repeat=7)) / number
            print(f"{size:5d} x {size:<5d} {label:18s} {best * 1e6:9.1f} us per call")


if __name__ == "__main__":
    main()
