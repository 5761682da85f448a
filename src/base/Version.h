#pragma once

// Name and version that the engine writes into the documents it generates.
namespace quillery {
const char* EngineName();
const char* EngineVersion();
}  // namespace quillery
