#pragma once

#include <string>

namespace tarvo::launcher {

// How a role names a library it loads, in its one-line errors.
struct LibraryTexts {
    const char* needer;       // "the setup window"
    const char* description;  // "the setup window's web view (Qt WebEngine)"
    const char* kind;         // "web view library"
};

// A library of this build's, loaded for the life of the process.
template <typename Interface>
struct LoadedLibrary {
    // Null when loading failed; `error` then says what is missing, in one line.
    Interface* library = nullptr;
    std::string path;
    std::string error;
};

// The entry point `entryName` of `directory`/`file`, loaded with its
// dependencies and never unloaded (Qt does not survive being taken out of a
// process); null with `error` set when the file is missing, cannot be loaded
// or is not one of ours. `path` is set either way.
void* loadEntry(const std::string& directory, const char* file, const char* entryName,
                const LibraryTexts& texts, std::string& path, std::string& error);

// Loads `directory`/`file` and asks its entry point,
// `Interface* entryName(int revision)`, for the interface this build expects.
template <typename Interface>
LoadedLibrary<Interface> loadLibrary(const std::string& directory, const char* file,
                                     const char* entryName, int revision,
                                     const LibraryTexts& texts) {
    LoadedLibrary<Interface> out;
    void* symbol = loadEntry(directory, file, entryName, texts, out.path, out.error);
    if (!symbol) return out;
    using Entry = Interface* (*)(int);
    out.library = reinterpret_cast<Entry>(symbol)(revision);
    if (!out.library)
        out.error = out.path + " belongs to another build of Tarvo (interface revision " +
                    std::to_string(revision) + " expected)";
    return out;
}

}  // namespace tarvo::launcher
