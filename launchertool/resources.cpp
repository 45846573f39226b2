#include "resources.h"

#include "failure.h"
#include "wholeFile.h"

namespace {

// The file mapped as data by LoadLibraryExW.
class DataModule {
public:
    explicit DataModule(HMODULE module) : module_(module) {}
    DataModule(const DataModule&) = delete;
    DataModule& operator=(const DataModule&) = delete;
    ~DataModule() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

ResourceName nameOf(LPCWSTR name) {
    ResourceName result;
    if (IS_INTRESOURCE(name)) {
        result.id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    } else {
        result.text = name;
    }
    return result;
}

// What the enumeration callbacks hand back, one level at a time.
struct Collection {
    std::vector<ResourceName> types;
    std::vector<ResourceName> names;
    std::vector<WORD> languages;
};

BOOL CALLBACK collectType(HMODULE, LPWSTR type, LONG_PTR collection) {
    reinterpret_cast<Collection*>(collection)->types.push_back(nameOf(type));
    return TRUE;
}

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR collection) {
    reinterpret_cast<Collection*>(collection)->names.push_back(nameOf(name));
    return TRUE;
}

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR collection) {
    reinterpret_cast<Collection*>(collection)->languages.push_back(language);
    return TRUE;
}

std::string resourceBytes(HMODULE module, const Resource& resource, const std::wstring& path) {
    HRSRC found = FindResourceExW(module, resource.type.get(), resource.name.get(), resource.language);
    if (found == nullptr) {
        failWithSystemError(L"cannot read the resources of " + path, GetLastError());
    }
    DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    // A damaged table can place a resource's data outside the file, which the
    // system refuses without an error code, or let it run past the file's
    // end, which the system does not check: the mapped view ends there.
    MEMORY_BASIC_INFORMATION view{};
    bool inView = size == 0 ||
                  (bytes != nullptr && VirtualQuery(bytes, &view, sizeof view) != 0 &&
                   size <= static_cast<std::size_t>(static_cast<const char*>(view.BaseAddress) +
                                                    view.RegionSize - bytes));
    if (!inView) {
        fail(L"cannot read the resources of " + path +
             L": the resource table places a resource's data outside the file");
    }
    return std::string(bytes, size);
}

}  // namespace

std::vector<Resource> readResources(const std::wstring& path) {
    DataModule module{LoadLibraryExW(fullPath(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)};
    if (module.get() == nullptr) {
        failWithSystemError(L"cannot read " + path + L" as a program", GetLastError());
    }
    std::vector<Resource> resources;
    Collection collection;
    // A file without resources makes the enumeration fail; it simply has none.
    EnumResourceTypesW(module.get(), collectType, reinterpret_cast<LONG_PTR>(&collection));
    for (const ResourceName& type : collection.types) {
        collection.names.clear();
        EnumResourceNamesW(module.get(), type.get(), collectName,
                           reinterpret_cast<LONG_PTR>(&collection));
        for (const ResourceName& name : collection.names) {
            collection.languages.clear();
            EnumResourceLanguagesW(module.get(), type.get(), name.get(), collectLanguage,
                                   reinterpret_cast<LONG_PTR>(&collection));
            for (WORD language : collection.languages) {
                Resource resource{type, name, language, {}};
                resource.bytes = resourceBytes(module.get(), resource, path);
                resources.push_back(std::move(resource));
            }
        }
    }
    return resources;
}

const Resource* findResource(const std::vector<Resource>& resources, WORD type, WORD name) {
    for (const Resource& resource : resources) {
        if (resource.type.is(type) && resource.name.is(name)) {
            return &resource;
        }
    }
    return nullptr;
}
