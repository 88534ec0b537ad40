#pragma once

// Whether the running executable carries a valid Authenticode signature.
[[nodiscard]] bool OwnSignatureIsValid();
