# Writes a C++ source that registers the bytes of INPUT as resource
# "FRMV"/"RC_DATA" when the program starts.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "#include \"platform/Resource.h\"\n\nnamespace {\nconst std::uint8_t kBytes[] = {\n${bytes}\n};\n"
  "const bool kRegistered = (RegisterEmbeddedResource(\"FRMV\", \"RC_DATA\", kBytes, sizeof kBytes), true);\n}  // namespace\n")
