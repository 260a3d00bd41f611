// Base of every object that can be stored in and loaded from a vkArchive,
// and the registry that recreates such objects from their class name.
#pragma once

#include <cstddef>
#include <string>
#include <typeinfo>

#include "imgnorm/export.h"

class vkArchive;

// A persistent object writes and reads itself through dispatchSerialize,
// which an archive calls for both directions. Each class level starts with a
// one-byte version and guards itself with haveVisited/setVisited, so that an
// object reached twice within one archive pass is written only once.
class IMGNORM_API vkPersistent {
public:
    virtual ~vkPersistent();

    // Returns the object to the state of a newly constructed one.
    virtual void reInit();
    // Loads objects whose archive form is a single value; false when the
    // class has no such form (the default).
    virtual bool loadSimple(vkArchive& archive);

    // Stores or loads this object, depending on the archive's direction.
    void serialize(vkArchive& archive) { dispatchSerialize(archive); }

    // The visited set of the archive's current pass; an object level is
    // identified by its address and the size of its class.
    static bool haveVisited(vkArchive& archive, const void* object, std::size_t size);
    static void setVisited(vkArchive& archive, const void* object, std::size_t size);

protected:
    vkPersistent() = default;
    vkPersistent(const vkPersistent&) = default;
    vkPersistent& operator=(const vkPersistent&) = default;

    virtual void dispatchSerialize(vkArchive& archive);

    friend IMGNORM_API vkArchive& operator||(vkArchive&, vkPersistent*&);
};

// Registers a persistent class with the registry at static-initialisation
// time, so that an archive naming the class can create an empty instance.
// The name recorded is the demangled C++ name of the type. Registering,
// unregistering and looking up are safe from any thread at any time.
class IMGNORM_API vk_Instantiator {
public:
    using MakeFn = vkPersistent* (*)();
    vk_Instantiator(const std::type_info& type, MakeFn factory);
    ~vk_Instantiator();
    vk_Instantiator(const vk_Instantiator&) = delete;
    vk_Instantiator& operator=(const vk_Instantiator&) = delete;

    // The registry name of a type (its demangled C++ name).
    static std::string className(const std::type_info& type);
    // Creates a new object of the named class; null when it is not registered.
    static vkPersistent* make(const std::string& className);
    static bool isRegistered(const std::string& className);

private:
    std::string name_;
};
