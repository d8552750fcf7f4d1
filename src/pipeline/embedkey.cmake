# Turns the DER file KEY_DER into the C++ source OUT that defines the built-in
# verification key. Run at build time so that a changed key file rebuilds the program.
file(READ "${KEY_DER}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR length "${hexLength} / 2")
# A 1024-bit PKCS #1 RSAPublicKey with exponent 65537 is exactly 140 bytes.
if(NOT length EQUAL 140)
  message(FATAL_ERROR "${KEY_DER}: ${length} bytes, expected a 140-byte PKCS #1 RSAPublicKey DER (1024-bit key)")
endif()
string(SUBSTRING "${hex}" 0 6 head)
if(NOT head STREQUAL "308189")
  message(FATAL_ERROR "${KEY_DER}: not a DER SEQUENCE of 137 bytes (PKCS #1 RSAPublicKey)")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${KEY_DER}; do not edit.\n"
  "#include \"pipeline/crypto.h\"\n\n"
  "namespace {\nconst unsigned char kKey[] = {${bytes}};\n}\n\n"
  "const unsigned char *builtinPublicKey()\n{\n    return kKey;\n}\n\n"
  "std::size_t builtinPublicKeyLength()\n{\n    return sizeof(kKey);\n}\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
