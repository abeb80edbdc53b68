#pragma once
// The two segmentation models, compiled into the binary (embedded_models.S): rvm (both qualities,
// video and photos) and selfie (no mode uses it: the engine's tests and benchmark do).
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/engine/engine.h"

namespace figsplit {

enum class ModelKind : int { rvm = 0, selfie = 1 };

// The bytes of a model as shipped: the model.json text and its single weight shard.
struct ModelBytes {
    std::string_view json;
    std::span<const uint8_t> weights;
};

ModelBytes embeddedModel(ModelKind kind);

// Loads an embedded model. On failure returns null and sets `error` ("rvm model: ...").
std::unique_ptr<engine::Model> loadEmbeddedModel(ModelKind kind, std::string& error,
                                                 engine::EngineOptions options = {});

}  // namespace figsplit
