#include <ATen/ATen.h>

#include <cmath>

#include "host/image_tensor.h"
#include "host/nodes/lanczos_resample.h"
#include "host/page_release.h"
#include "host/services/package_services.h"
#include "host/threads.h"
#include "image/fusion/fusion.h"
#include "image/measure/measure.h"
#include "image/quorv_image.h"
#include "pipeline/road_internal.h"

namespace quorv::pipeline {
namespace {

at::Tensor enlarged_colour(const UpscaleOptions& o, const std::optional<host::UpscaleModel>& model,
                           const at::Tensor& rgb, Size target, const ProgressCallback& progress) {
  if (model) return enlarged_with_model(*model, o, rgb, target, progress);
  // At the picture's own size a resample could only blur it.
  if (rgb.size(2) == target.width && rgb.size(1) == target.height) return rgb;
  return Quorv_Image().better_downscale(rgb, target.width, target.height, "lanczos");
}

// Below this alpha a pixel is all but invisible and dividing would only blow up ringing.
constexpr double kVisibleAlpha = 1.0 / 1024;

// Colour hidden under transparent pixels must not bleed into visible edges:
// the colour is enlarged premultiplied by alpha and divided by the enlarged alpha after.
at::Tensor premultiplied(const at::Tensor& rgb, const std::optional<at::Tensor>& alpha) {
  return alpha ? rgb * alpha->clamp(0.0, 1.0) : rgb;
}

// `enlarged`, a new picture of the premultiplied colour, divided in place.
at::Tensor& unpremultiply_(at::Tensor& enlarged, const at::Tensor& alpha_enlarged) {
  return enlarged.div_(alpha_enlarged.clamp_min(kVisibleAlpha)).clamp_(0.0, 1.0);
}

at::Tensor enlarge(const UpscaleOptions& o, const std::optional<host::UpscaleModel>& model, const at::Tensor& rgb,
                   const std::optional<at::Tensor>& alpha, const at::Tensor& alpha_enlarged, Size target,
                   const ProgressCallback& progress) {
  if (!alpha) return enlarged_colour(o, model, rgb, target, progress);
  // Always a new picture (enlarged, or the product itself).
  at::Tensor colour = enlarged_colour(o, model, premultiplied(rgb, alpha), target, progress);
  return unpremultiply_(colour, alpha_enlarged);
}

// The enlarged picture at the working size, its padding filled from its
// edges. A Lanczos enlargement is written straight into the padded buffer,
// so that the picture never exists twice; otherwise the enlarged picture is
// copied into it and its pages go back at once.
at::Tensor enlarged_and_padded(const UpscaleOptions& o, const std::optional<host::UpscaleModel>& model,
                               const at::Tensor& rgb, const std::optional<at::Tensor>& alpha,
                               const at::Tensor& alpha_enlarged, const Plan& plan, const ProgressCallback& progress) {
  const Size target = plan.enlarged, working = plan.working;
  const bool same_size = rgb.size(2) == target.width && rgb.size(1) == target.height;
  const bool padded = working.width != target.width || working.height != target.height;
  if (model || same_size || !padded || !rgb.device().is_cpu()) {
    at::Tensor enlarged = enlarge(o, model, rgb, alpha, alpha_enlarged, target, progress);
    at::Tensor image = edge_padded(enlarged, working);
    if (!image.is_same(enlarged)) host::let_go(enlarged);
    return image;
  }
  at::Tensor image = at::empty({rgb.size(0), working.height, working.width, rgb.size(3)}, rgb.options());
  at::Tensor picture = image.narrow(1, 0, target.height).narrow(2, 0, target.width);
  // As enlarge does, with the same arithmetic.
  host::lanczos_resample_into(premultiplied(rgb, alpha), picture);
  picture.clamp_(0.0, 1.0);
  if (alpha) unpremultiply_(picture, alpha_enlarged);
  pad_edges(image, target);
  return image;
}

void require_options(const UpscaleOptions& o) {
  if (!std::isfinite(o.scale) || o.scale <= 0)
    throw SettingsError("scale must be a number above 0, got " + std::to_string(o.scale));
  if (o.jobs < 1) throw SettingsError("jobs must be at least 1, got " + std::to_string(o.jobs));
  if (o.threads < 0) throw SettingsError("threads must be 0 (all) or more, got " + std::to_string(o.threads));
  if (o.fusion != "v1" && o.fusion != "v0" && o.fusion != "none")
    throw SettingsError("fusion must be v1, v0 or none, got '" + o.fusion + "'");
}

void require_service(const UpscaleOptions& o) {
  if (o.fusion != "none" && o.fusion_address.empty())
    throw SettingsError("fusion " + o.fusion + " needs the fusion service's address (fusion none runs without)");
}

void require_picture(const at::Tensor& picture, const std::optional<at::Tensor>& alpha, Size size) {
  require_image(picture, "picture");
  if (picture.size(0) != 1 || picture.size(3) != 3)
    throw ValueError("picture must be [1, H, W, 3], got " + shape_string(picture));
  if (picture.size(2) != size.width || picture.size(1) != size.height)
    throw ValueError("picture is " + shape_string(picture) + " but the plan is for " + std::to_string(size.width) +
                     " x " + std::to_string(size.height));
  if (!alpha) return;
  require_image(*alpha, "alpha");
  if (alpha->size(0) != 1 || alpha->size(3) != 1 || alpha->size(1) != size.height || alpha->size(2) != size.width)
    throw ValueError("alpha must be [1, " + std::to_string(size.height) + ", " + std::to_string(size.width) +
                     ", 1], got " + shape_string(*alpha));
}

// The probe and the tiles ask the service at the run's address with its token.
NodeState with_token(NodeState SELF, const UpscaleOptions& o) {
  SELF.API.token = o.fusion_token;
  if (o.fusion != "none") host::set_apiurl(o.fusion_address);
  return SELF;
}

}  // namespace

Upscaler::Upscaler(UpscaleOptions options, TileProcessor& processor, UpscaleHooks hooks)
    : options_(std::move(options)), processor_(processor), hooks_(std::move(hooks)) {
  require_options(options_);
  // Loaded before any work: a missing or broken model fails first.
  model_ = enlarging_model(options_);
}

Plan Upscaler::plan(Size input) const { return make_plan(options_, input); }

void Upscaler::check_service(const Plan& plan) const {
  if (plan.options.fusion == "none") return;
  require_service(plan.options);
  const FusionTracker probe(plan.options);
  probe.check_service(with_token(plan.SELF, plan.options), plan.grid_specs);
}

UpscaleResult Upscaler::run(at::Tensor picture, std::optional<at::Tensor> alpha) {
  require_image(picture, "picture");
  const Plan planned = plan({picture.size(2), picture.size(1)});
  return run(planned, std::move(picture), std::move(alpha));
}

UpscaleResult Upscaler::run(const Plan& plan, at::Tensor picture, std::optional<at::Tensor> alpha) {
  require_picture(picture, alpha, plan.input);
  // From here on the settings as fitted to the picture.
  const UpscaleOptions& o = plan.options;
  require_options(o);
  require_service(o);
  std::optional<host::ThreadLimit> threads;
  if (o.threads > 0) threads.emplace(o.threads);
  UpscaleResult out;
  UpscaleReport& report = out.report;
  Stopwatch watch;

  // The grid works on the padded picture; the result is cropped back to the enlarged size.
  // The alpha, enlarged once, weighs the seam score and comes back with the result.
  // Each picture goes as soon as the next one is made, its pages straight
  // back to the system: a dead canvas left in the heap would only be
  // reused by small tile temporaries and stay resident to the end.
  const at::Tensor alpha_enlarged = alpha ? enlarged_alpha(*alpha, plan.enlarged) : at::Tensor();
  at::Tensor image = enlarged_and_padded(o, model_, picture, alpha, alpha_enlarged, plan, hooks_.progress);
  host::let_go(picture);
  if (alpha) host::let_go(*alpha);
  alpha.reset();
  // Whether the enlarged picture's rows may go as the tiles pass (below).
  const bool image_ours = image.is_contiguous() && host::pages_are_ours(image);
  report.stages.add("enlarge", watch.lap());

  NodeState SELF = with_token(node_state(o, image), o);
  const std::vector<GridSpec> grid = Quorv_Image::get_tiled_grid_specs(SELF, image);
  std::vector<at::Tensor> tiles = Quorv_Image::get_grid_images(image, grid);
  SELF.OUTPUTS.grid_images_all = tiles;
  SELF.OUTPUTS.grid_images = tiles;
  // Borders are judged where they can be seen: the padding past the enlarged picture is cropped away.
  const auto visible = [&](const at::Tensor& t) {
    return t.narrow(1, 0, plan.enlarged.height).narrow(2, 0, plan.enlarged.width);
  };
  // The tiles are views of the enlarged picture, which stays as it is;
  // finished tiles are pasted into a result made from it. When nothing
  // reads the enlarged picture after the tiles (no previews, no re-fix), the
  // seam score's side of it is read now, the result is filled row by row
  // and the enlarged picture's rows go as the tiles pass: about one canvas
  // between the two instead of two.
  const bool streaming = image_ours && !o.fast_preview && !o.refix_seams && !hooks_.finished;
  std::optional<measure::SeamReference> seam_reference;
  std::optional<RowStream> rows;
  at::Tensor result;
  if (streaming) {
    result = at::empty_like(image, at::MemoryFormat::Contiguous);
    rows.emplace(image, result, grid, tiles.size());
  } else {
    result = o.fast_preview ? image : image.clone(at::MemoryFormat::Contiguous);
  }
  report.stages.add("grid", watch.lap());
  if (streaming) seam_reference = measure::seam_reference(visible(image), grid, alpha_enlarged);
  Lap seam_scoring = watch.lap();

  std::optional<FusionTracker> fusion;
  if (o.fusion != "none") fusion.emplace(o);
  TileStage stage = process_tiles(processor_, o, SELF, grid, tiles, result, fusion ? &*fusion : nullptr,
                                  hooks_.progress, rows ? &*rows : nullptr);
  if (rows) rows->finish();
  if (fusion) {
    report.unfused = fusion->unfused();
    report.fusion_stopped = fusion->stopped_asking();
  }
  report.unprocessed = std::move(stage.unprocessed);
  report.tone_matches = std::move(stage.tone_matches);
  report.stages.add("masks", stage.masks);
  report.stages.add("process", stage.processing);
  if (o.match_tone) report.stages.add("tone_match", stage.tone_matching);
  report.stages.add("fusion", stage.fusing);
  report.stages.add("paste", stage.pasting);
  watch.lap();

  // Borders that still stand out are re-fused once, before previews and the score see the result.
  if (o.refix_seams) {
    const host::ThreadLimit serial(1);
    report.refix = fusion::refix_seams(visible(result), visible(image), grid,
                                       o.seam_threshold > 0 ? o.seam_threshold : measure::kVisibleSeam, alpha_enlarged);
    const at::Tensor refixed = std::exchange(report.refix->picture, at::Tensor());
    if (refixed.data_ptr() != result.data_ptr()) visible(result).copy_(refixed);
    report.stages.add("refix_seams", watch.lap());
  }

  if (hooks_.finished) {
    std::vector<at::Tensor> finished_tiles;
    if (o.keep_tiles)
      for (const OptionalImage& t : stage.finished) finished_tiles.push_back(*t);
    hooks_.finished({o, SELF, grid, image, finished_tiles, result});
  }
  stage.finished.clear();
  report.stages.add("previews", watch.lap());

  // Judged against the enlarged picture on the same lines: 1.00 = as before any tile work.
  report.seams = [&] {
    if (report.refix) return report.refix->after;
    if (seam_reference) return measure::seam_visibility(visible(result), *seam_reference);
    return measure::seam_visibility(visible(result), visible(image), grid, alpha_enlarged);
  }();
  report.stages.add("seam_score", seam_scoring += watch.lap());
  out.picture = visible(result);
  out.alpha = alpha_enlarged;
  return out;
}

}  // namespace quorv::pipeline
