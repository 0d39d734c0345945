#include "engine/pipeline/Uuid.h"

#include <uuid/uuid.h>

namespace tobble::engine {

std::string makeUUIDString() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return std::string(text);
}

}  // namespace tobble::engine
