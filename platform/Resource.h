#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads a resource of the application's own module, the type given by name
// (not one of the numbered predefined types). False when there is none, it
// is empty, or it cannot be read whole.
[[nodiscard]] bool LoadApplicationResource(const char* name, const char* type, std::vector<std::uint8_t>& data);

#ifndef _WIN32
// Without Windows resources the executable registers its embedded data at
// start (see cmake/EmbedResource.cmake); the bytes must live as long as the
// process.
void RegisterEmbeddedResource(const char* name, const char* type, const std::uint8_t* data, std::size_t size);
void ClearEmbeddedResources();  // for tests
#endif
