#include "tools/tvkserve/entity_tag.h"

namespace tvkserve {

std::string EntityTag(const EntityTagInputs& inputs) {
    Sha256Stream hash;
    hash.Add(download::EntityTagInput(inputs));
    return download::EntityTagText(hash.Finish());
}

}  // namespace tvkserve
