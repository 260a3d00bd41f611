// vkPersistent's per-pass visited set and the class registry.
#include "imgnorm/persistent.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "imgnorm/archive.h"

vkPersistent::~vkPersistent() = default;
void vkPersistent::reInit() {}
bool vkPersistent::loadSimple(vkArchive&) { return false; }
void vkPersistent::dispatchSerialize(vkArchive&) {}

bool vkPersistent::haveVisited(vkArchive& archive, const void* object, std::size_t size) {
    return archive.visited_.count({object, size}) != 0;
}

void vkPersistent::setVisited(vkArchive& archive, const void* object, std::size_t size) {
    archive.visited_.insert({object, size});
}

namespace {

std::map<std::string, vk_Instantiator::MakeFn>& registry() {
    static std::map<std::string, vk_Instantiator::MakeFn> classes;
    return classes;
}

}  // namespace

vk_Instantiator::vk_Instantiator(const std::type_info& type, MakeFn factory) : name_(className(type)) {
    registry()[name_] = factory;
}

vk_Instantiator::~vk_Instantiator() { registry().erase(name_); }

std::string vk_Instantiator::className(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

vkPersistent* vk_Instantiator::make(const std::string& name) {
    auto it = registry().find(name);
    return it == registry().end() ? nullptr : it->second();
}

bool vk_Instantiator::isRegistered(const std::string& name) { return registry().count(name) != 0; }
