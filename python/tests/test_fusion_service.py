"""The fusion request, the reply accessor, and both fusion updates over HTTP on 127.0.0.1."""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import torch

import quorv

Q = quorv.Quorv_Image
GRID_2X2 = [(0, 0, 0, 0, 0, 384, 384), (0, 1, 1, 128, 0, 384, 384), (1, 0, 2, 0, 128, 384, 384),
            (1, 1, 3, 128, 128, 384, 384)]


@pytest.fixture
def reference_service():
    with quorv.FusionService() as service:
        quorv.set_apiurl(service.base_address)
        yield service
    quorv.clear_apiurl()


@pytest.fixture
def canned_service():
    """A Python HTTP server answering every request with `reply`; its thread needs the GIL."""

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            self.server.requests.append((self.path, self.headers["Authorization"], json.loads(body)))
            reply = json.dumps(self.server.reply).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.requests, server.reply = [], {}
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    quorv.set_apiurl(f"http://127.0.0.1:{server.server_address[1]}/")
    yield server
    quorv.clear_apiurl()
    server.shutdown()
    server.server_close()


def test_request_and_reply_entries_as_dicts():
    payload = Q.prepare_neuro_generative_fusion(GRID_2X2, 3, 2)
    assert list(payload) == ["index", "row", "col", "x_start", "y_start", "width_inc", "height_inc",
                             "upscalemultiplier", "grid_specs", "last_row", "last_col"]
    assert payload["upscalemultiplier"] == 2 and isinstance(payload["upscalemultiplier"], int)
    assert payload["grid_specs"][1] == {"row": 0, "col": 1, "order": 1, "x_start": 128, "y_start": 0,
                                        "width_inc": 384, "height_inc": 384}
    assert isinstance(Q.prepare_neuro_generative_fusion(GRID_2X2, 0, 1.5)["upscalemultiplier"], float)
    with pytest.raises(IndexError):
        Q.prepare_neuro_generative_fusion(GRID_2X2, 4)

    info = {"top": {"exists": True, "index": 1, "crop_x": 0, "crop_y": 256}, "left": {"exists": False}}
    assert Q.neighbour(info, "top") == info["top"]
    assert Q.neighbour(info, "left") is None and Q.neighbour(info, "right") is None
    with pytest.raises(ValueError):
        Q.neighbour([info], "top")


@pytest.mark.parametrize("update", [Q.add_last_generated_to_base_image, Q.add_last_generated_to_base_image_V1])
def test_fused_tile_takes_its_outer_edges_from_finished_neighbours(update, host_node, astronaut,
                                                                  reference_service, capsys):
    node = host_node(astronaut, tile=384, mode="Neuro_Generative_Tile_Fusion")
    grid = Q.get_tiled_grid_specs(node, astronaut)
    assert grid == GRID_2X2
    tiles = Q.get_grid_images(astronaut, grid)
    node.OUTPUTS.grid_images_all = tiles
    regenerated = 1.0 - tiles[3]
    kept = regenerated.clone()
    finished = [t.clone() for t in tiles[:3]] + [None]

    fused = update(node, 1, regenerated, grid, 3, finished, False)
    assert "Warning" not in capsys.readouterr().out
    assert torch.equal(regenerated, kept)
    assert fused.shape == regenerated.shape
    # Outer edges come from the neighbours above and to the left (the picture itself here).
    assert torch.allclose(fused[:, 0], astronaut[:, 128, 128:], atol=1e-6)
    assert torch.allclose(fused[:, :, 0], astronaut[:, 128:, 128], atol=1e-6)
    # Beyond the overlaps the tile is as generated.
    assert torch.equal(fused[:, 300:, 300:], regenerated[:, 300:, 300:])

    # Without a service the tile comes back as generated.
    quorv.clear_apiurl()
    alone = update(node, 1, regenerated, grid, 3, finished, False)
    assert torch.equal(alone, regenerated)
    assert "Neural-Generative Tile Fusion disabled" in capsys.readouterr().out


def test_service_call_releases_the_gil_and_strict_replies_raise_key_error(host_node, canned_service):
    node = host_node(torch.zeros(1, 512, 512, 3))
    node.OUTPUTS.grid_images_all = [torch.rand(1, 384, 384, 3) for _ in GRID_2X2]
    canned_service.reply = {"top": {"exists": True, "crop_y": 16}}
    assert Q.api_nuero_generative_fusion_tiles({"index": 3}, node) == canned_service.reply
    path, authorization, body = canned_service.requests[0]
    assert (path, authorization, body) == ("/blend_info.php", "Bearer test-token", {"index": 3})

    with pytest.raises(KeyError, match="index"):
        Q.add_last_generated_to_base_image_V1(node, 1, torch.rand(1, 384, 384, 3), GRID_2X2, 3,
                                              [None] * 4, False)
    assert canned_service.requests[1][2]["index"] == 3


def test_a_second_service_cannot_take_the_port_of_a_running_one():
    with quorv.FusionService() as first:
        port = int(first.base_address.rsplit(":", 1)[1].strip("/"))
        second = quorv.FusionService()
        with pytest.raises(RuntimeError, match="address already in use"):
            second.start(port=port)
    second.start(port=port)  # free again once the first has stopped
    second.stop()
