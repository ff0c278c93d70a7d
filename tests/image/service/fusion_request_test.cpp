#include <gtest/gtest.h>

#include <vector>

#include "host/errors.h"
#include "image/quorv_image.h"
#include "tests/support/test_support.h"

namespace quorv::service {
namespace {

// The 2 x 3 grid of a 2048 x 1536 picture with 1024 tiles and 896 steps.
const std::vector<GridSpec> kTwoByThree = {
    {0, 0, 0, 0, 0, 1024, 1024},   {0, 1, 1, 896, 0, 1024, 1024},   {0, 2, 2, 1024, 0, 1024, 1024},
    {1, 0, 2, 0, 512, 1024, 1024}, {1, 1, 3, 896, 512, 1024, 1024}, {1, 2, 4, 1024, 512, 1024, 1024}};

TEST(Service_PrepareNeuroGenerativeFusion, ListsTheTileThenEveryRecordInOrder) {
  const Json payload = Quorv_Image::prepare_neuro_generative_fusion(kTwoByThree, 4);
  EXPECT_EQ(payload.dump(),
            R"({"index":4,"row":1,"col":1,"x_start":896,"y_start":512,"width_inc":1024,"height_inc":1024,)"
            R"("upscalemultiplier":1,"grid_specs":[)"
            R"({"row":0,"col":0,"order":0,"x_start":0,"y_start":0,"width_inc":1024,"height_inc":1024},)"
            R"({"row":0,"col":1,"order":1,"x_start":896,"y_start":0,"width_inc":1024,"height_inc":1024},)"
            R"({"row":0,"col":2,"order":2,"x_start":1024,"y_start":0,"width_inc":1024,"height_inc":1024},)"
            R"({"row":1,"col":0,"order":2,"x_start":0,"y_start":512,"width_inc":1024,"height_inc":1024},)"
            R"({"row":1,"col":1,"order":3,"x_start":896,"y_start":512,"width_inc":1024,"height_inc":1024},)"
            R"({"row":1,"col":2,"order":4,"x_start":1024,"y_start":512,"width_inc":1024,"height_inc":1024}],)"
            R"("last_row":1,"last_col":2})");

  // A segment record is listed and counts for the largest row and column.
  std::vector<GridSpec> with_segment = kTwoByThree;
  with_segment.push_back({3, 0, 8000, 100, 100, 300, 200});
  const Json segmented = Quorv_Image::prepare_neuro_generative_fusion(with_segment, 0, 1.5);
  EXPECT_EQ(segmented["grid_specs"].size(), 7u);
  EXPECT_EQ(segmented["grid_specs"][6]["order"], 8000);
  EXPECT_EQ(segmented["last_row"], 3);
  EXPECT_EQ(segmented["last_col"], 2);
  EXPECT_EQ(segmented["upscalemultiplier"].dump(), "1.5");
}

TEST(Service_PrepareNeuroGenerativeFusion, RejectsAnEmptyListAnIndexOutsideItAndNonNumbers) {
  EXPECT_THROW_WITH(prepare_neuro_generative_fusion({}, 0), ValueError, "got an empty list");
  EXPECT_THROW_WITH(prepare_neuro_generative_fusion(kTwoByThree, 6), IndexError, "must lie in 0..5, got 6");
  EXPECT_THROW_WITH(prepare_neuro_generative_fusion(kTwoByThree, -1), IndexError, "got -1");
  EXPECT_THROW_WITH(prepare_neuro_generative_fusion(kTwoByThree, 0, "2"), ValueError, "must be a number, got string");
  EXPECT_THROW_WITH(prepare_neuro_generative_fusion(kTwoByThree, 0, true), ValueError, "got boolean");
  EXPECT_THROW_WITH(prepare_neuro_generative_fusion(kTwoByThree, 0, std::nan("")), ValueError, "must be finite");
}

TEST(Service_Neighbour, FollowsTheTruthOfTheEntryAndOfExists) {
  const Json entry = {{"exists", true}, {"index", 4}};
  const Json info = {{"top", entry},
                     {"count", {{"exists", 2}}},
                     {"text", {{"exists", "yes"}}},
                     {"off", {{"exists", false}, {"index", 1}}},
                     {"zero", {{"exists", 0.0}}},
                     {"blank", {{"exists", ""}}},
                     {"none", {{"exists", nullptr}}},
                     {"empty_list", {{"exists", Json::array()}}},
                     {"silent", {{"index", 1}}},
                     {"empty", Json::object()},
                     {"null", nullptr},
                     {"false", false},
                     {"list", Json::array({1})}};
  EXPECT_EQ(Quorv_Image::neighbour(info, "top"), entry);
  EXPECT_TRUE(neighbour(info, "count"));
  EXPECT_TRUE(neighbour(info, "text"));
  for (const char* key : {"off", "zero", "blank", "none", "empty_list", "silent", "empty", "null", "false", "absent"})
    EXPECT_FALSE(neighbour(info, key)) << key;
  EXPECT_FALSE(neighbour(Json::object(), "top"));
  EXPECT_THROW_WITH(neighbour(info, "list"), Error, "entry \"list\" must be a JSON object, got array [1]");
  EXPECT_THROW_WITH(neighbour(Json::array(), "top"), ValueError, "info must be a JSON object, got array");
}

}  // namespace
}  // namespace quorv::service
