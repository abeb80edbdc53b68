#include "platform/segmentation/embedded_models.h"

// The model files, assembled into the binary by embedded_models.S.
extern "C" {
extern const uint8_t figsplit_rvm_json[];
extern const uint8_t figsplit_rvm_json_end[];
extern const uint8_t figsplit_rvm_bin[];
extern const uint8_t figsplit_rvm_bin_end[];
extern const uint8_t figsplit_selfie_json[];
extern const uint8_t figsplit_selfie_json_end[];
extern const uint8_t figsplit_selfie_bin[];
extern const uint8_t figsplit_selfie_bin_end[];
}

namespace figsplit {

ModelBytes embeddedModel(ModelKind kind) {
    auto bytes = [](const uint8_t* begin, const uint8_t* end) {
        return std::span<const uint8_t>(begin, static_cast<size_t>(end - begin));
    };
    auto text = [](const uint8_t* begin, const uint8_t* end) {
        return std::string_view(reinterpret_cast<const char*>(begin),
                                static_cast<size_t>(end - begin));
    };
    if (kind == ModelKind::rvm)
        return {text(figsplit_rvm_json, figsplit_rvm_json_end),
                bytes(figsplit_rvm_bin, figsplit_rvm_bin_end)};
    return {text(figsplit_selfie_json, figsplit_selfie_json_end),
            bytes(figsplit_selfie_bin, figsplit_selfie_bin_end)};
}

std::unique_ptr<engine::Model> loadEmbeddedModel(ModelKind kind, std::string& error,
                                                 engine::EngineOptions options) {
    const ModelBytes bytes = embeddedModel(kind);
    std::unique_ptr<engine::Model> model =
        engine::Model::loadFromBytes(bytes.json, bytes.weights, error, options);
    if (!model) error = std::string(kind == ModelKind::rvm ? "rvm" : "selfie") + " model: " + error;
    return model;
}

}  // namespace figsplit
