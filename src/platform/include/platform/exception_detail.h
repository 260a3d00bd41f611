// Helpers shared by the persistent exception classes of every layer.
#pragma once

#include <cstddef>

#include "imgnorm/archive.h"
#include "imgnorm/persistent.h"

namespace vk_detail {

// The body of suicideAndRethrow: frees the heap-allocated exception and
// throws a copy of it by value.
template <class E>
[[noreturn]] void rethrowCopy(E* self) {
    E local(*self);
    delete self;
    throw local;
}

// One class level's archive form: unless the object was already visited in
// this pass, its version byte (written, or read into version), then
// body(version), then the visit mark.
template <class Body>
void serializeLevel(vkArchive& archive, const void* object, std::size_t size, Body&& body) {
    if (vkPersistent::haveVisited(archive, object, size)) return;
    unsigned char version = 0;
    archive || version;
    body(version);
    vkPersistent::setVisited(archive, object, size);
}

}  // namespace vk_detail
