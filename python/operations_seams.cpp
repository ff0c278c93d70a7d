// Seam visibility and tone matching, module-level: a node can judge its
// result and match each tile's tone before fusing it.
#include "image/fusion/fusion.h"
#include "image/measure/measure.h"
#include "python/conversions.h"

namespace quorv::python {
namespace {

py::dict border_object(const measure::SeamBorder& b) {
  py::dict d;
  d["relative"] = b.relative;
  d["tile"] = b.tile;
  d["neighbour"] = b.neighbour;
  d["edge"] = b.vertical ? "left" : "top";
  d["line"] = b.line;
  d["start"] = b.start;
  d["length"] = b.length;
  d["overlap"] = b.overlap;
  return d;
}

}  // namespace

void bind_seams(py::module_& m) {
  m.def(
      "seam_visibility",
      [](TensorObject result_object, TensorObject reference_object, py::object grid_specs, py::object alpha_object) {
        const at::Tensor result = picture_value(result_object, "result");
        const at::Tensor reference = picture_value(reference_object, "reference");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const at::Tensor alpha = optional_tensor_value(alpha_object, "alpha").value_or(at::Tensor());
        const measure::SeamVisibility v =
            without_gil([&] { return measure::seam_visibility(result, reference, specs, alpha); });
        py::dict d;
        d["relative"] = v.relative;
        d["vertical"] = v.vertical;
        d["horizontal"] = v.horizontal;
        d["borders"] = v.borders;
        d["worst"] = v.worst.tile < 0 ? py::object(py::none()) : py::object(border_object(v.worst));
        return d;
      },
      py::arg("result"), py::arg("reference"), py::arg("grid_specs"), py::arg("alpha") = py::none(),
      "How visible the tile borders of `result` are against `reference` (the enlarged picture before any "
      "tile work), on the same lines: a dict with 'relative' (1.0 = as before processing), 'vertical', "
      "'horizontal', 'borders' and 'worst' (the most visible border: its tiles, edge and extent; None "
      "without borders). With `alpha` ([1 or B, H, W, 1] in 0..1) both pictures are measured as seen over "
      "black, so that steps under transparent pixels do not count.");

  m.def(
      "refix_seams",
      [](TensorObject result_object, TensorObject reference_object, py::object grid_specs, double threshold,
         py::object alpha_object) {
        const at::Tensor result = picture_value(result_object, "result");
        const at::Tensor reference = picture_value(reference_object, "reference");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const at::Tensor alpha = optional_tensor_value(alpha_object, "alpha").value_or(at::Tensor());
        const fusion::SeamRefix r =
            without_gil([&] { return fusion::refix_seams(result, reference, specs, threshold, alpha); });
        py::list borders;
        for (const fusion::RefixedBorder& b : r.borders) {
          py::dict d = border_object(b.before);
          d["before"] = b.before.relative;
          d["after"] = b.after;
          borders.append(d);
        }
        py::dict status;
        status["before"] = r.before.relative;
        status["after"] = r.after.relative;
        status["borders"] = borders;
        return py::make_tuple(r.picture, status);
      },
      py::arg("result"), py::arg("reference"), py::arg("grid_specs"), py::arg("threshold") = measure::kVisibleSeam,
      py::arg("alpha") = py::none(),
      "The result with every border scoring above `threshold` re-fused once (the step across it spread over "
      "a window of the overlap and 1.5 overlaps each side), and a status dict: 'before' and 'after' (the "
      "seam scores) and 'borders' (each re-fused border with its 'before' and 'after' figure). `alpha` "
      "weighs the pixels as in seam_visibility.");

  m.def(
      "match_tile_tone",
      [](TensorObject tile_object, py::object grid_specs, int64_t index, py::object finished, py::object originals) {
        const at::Tensor tile = picture_value(tile_object, "tile");
        const std::vector<GridSpec> specs = grid_spec_list(grid_specs, "grid_specs");
        const std::vector<OptionalImage> images = optional_image_list(finished, "finished");
        std::vector<at::Tensor> before;
        if (!originals.is_none()) {
          const std::vector<OptionalImage> given = optional_image_list(originals, "originals");
          for (size_t i = 0; i < given.size(); ++i) {
            if (!given[i]) throw ValueError("match_tile_tone: originals[" + std::to_string(i) + "] is None");
            before.push_back(*given[i]);
          }
        }
        const fusion::ToneMatch t =
            without_gil([&] { return fusion::match_tile_tone(tile, specs, index, images, before); });
        py::dict status;
        status["applied"] = t.applied;
        status["reason"] = t.reason;
        status["gain"] = t.gain;
        status["offset"] = t.offset;
        status["neighbours"] = t.neighbours;
        status["overlap_pixels"] = t.overlap_pixels;
        status["error_before"] = t.error_before;
        status["error_after"] = t.error_after;
        return py::make_tuple(t.tile, status);
      },
      py::arg("tile"), py::arg("grid_specs"), py::arg("index"), py::arg("finished"), py::arg("originals") = py::none(),
      "The tile with its tone brought to that of its finished neighbours (entries of `finished` that are not "
      "None and overlap it); with `originals` (every tile as it was before processing, by grid position) the "
      "shift each processing made is matched, not the overlaps' pixels, which masks bring back to the "
      "original. A status dict: 'applied', 'reason', per-channel 'gain' and 'offset', "
      "'neighbours', 'overlap_pixels', 'error_before', 'error_after'. A skipped tile comes back unchanged.");

  m.def(
      "blend_kept_band_in_tone",
      [](TensorObject original_object, TensorObject processed_object, TensorObject mask_object) {
        const at::Tensor original = picture_value(original_object, "original");
        const at::Tensor processed = picture_value(processed_object, "processed");
        const at::Tensor mask = tensor_value(mask_object, "mask");
        const fusion::KeptBandTone k =
            without_gil([&] { return fusion::blend_kept_band_in_tone(original, processed, mask); });
        py::dict status;
        status["applied"] = k.applied;
        status["reason"] = k.reason;
        status["gain"] = k.gain;
        status["offset"] = k.offset;
        return py::make_tuple(k.tile, status);
      },
      py::arg("original"), py::arg("processed"), py::arg("mask"),
      "The processed tile put back through its inpaint mask (lerp(original, processed, mask)) with the "
      "pixels the mask kept brought to the tone the processing gave the rest (a per-channel gain and offset "
      "fitted on 8 x 8 block means where the mask is 1), so that a tone shift does not stop short of the "
      "tile's edges. `mask`: [1 or B, H, W, 1]. A status dict: 'applied', 'reason', per-channel 'gain' and "
      "'offset'. Nothing given is changed.");
}

}  // namespace quorv::python
