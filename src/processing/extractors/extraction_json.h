// The JSON forms of ExtractionResult and ExtractionJobOptions, for the worker-side job handlers, which
// receive and return nlohmann::json values. Only the extractor sources include this header.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "processing/extractors/extraction_result.h"

namespace lumidex::processing {

nlohmann::json toJson(const ExtractionResult& result);
nlohmann::json toJson(const ExtractionJobOptions& options);
// Absent or mistyped members keep their defaults.
ExtractionJobOptions jobOptionsFromJson(const nlohmann::json& options);

}  // namespace lumidex::processing
