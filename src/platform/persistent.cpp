// vkPersistent's per-pass visited set and the class registry.
#include "imgnorm/persistent.h"

#include <cxxabi.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

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

// The registry; classes may register (a library loaded later) while other
// threads look names up.
struct Registry {
    std::mutex mutex;
    std::map<std::string, vk_Instantiator::MakeFn> classes;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

vk_Instantiator::vk_Instantiator(const std::type_info& type, MakeFn factory) : name_(className(type)) {
    Registry& r = registry();
    const std::lock_guard<std::mutex> lock(r.mutex);
    r.classes[name_] = factory;
}

vk_Instantiator::~vk_Instantiator() {
    Registry& r = registry();
    const std::lock_guard<std::mutex> lock(r.mutex);
    r.classes.erase(name_);
}

std::string vk_Instantiator::className(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

vkPersistent* vk_Instantiator::make(const std::string& name) {
    MakeFn factory = nullptr;
    {
        Registry& r = registry();
        const std::lock_guard<std::mutex> lock(r.mutex);
        const auto it = r.classes.find(name);
        if (it != r.classes.end()) factory = it->second;
    }
    return factory == nullptr ? nullptr : factory();
}

bool vk_Instantiator::isRegistered(const std::string& name) {
    Registry& r = registry();
    const std::lock_guard<std::mutex> lock(r.mutex);
    return r.classes.count(name) != 0;
}
