// The entity tag (ETag) of a download (see tools/download/entity_tag_input.h
// for what it is made of), hashed with OpenSSL.
#pragma once

#include <string>

#include "tools/download/entity_tag_input.h"
#include "tools/packaging/sha256.h"

namespace tvkserve {

using download::EntityTagInputs;
using packaging::Sha256Digest;
using packaging::Sha256Stream;

// A strong entity tag: 32 lower-case hexadecimal digits in double quotes.
std::string EntityTag(const EntityTagInputs& inputs);

}  // namespace tvkserve
