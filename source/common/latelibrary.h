#pragma once

#include "platform/sharedlibrary.h"

#include <QLibrary>
#include <QString>

// A shared library whose functions are bound when they are first needed
// rather than when the program starts. The formats other than WAVE and the
// high-quality mode are the exception; loading their libraries (and theirs:
// codecs, OpenMP) with every run would cost each conversion more than a
// megabyte of memory and the time to map them.
//
// The library stays loaded until the program ends, so the bound functions
// stay valid.
class LateLibrary
{
public:
    // `name` without "lib" or a suffix, and the major version of its ABI
    // (an ELF library's soname); see Platform::loadSharedLibrary().
    LateLibrary(const char *name, int version)
    {
        Platform::loadSharedLibrary(library, name, version, &failure);
    }

    // Points `function` at the library's `symbol`. False, with
    // errorString(), when the library or the symbol is missing.
    template<class Function>
    bool bind(Function &function, const char *symbol)
    {
        function =
                failure.isEmpty() ? reinterpret_cast<Function>(library.resolve(symbol)) : nullptr;
        if (!function && failure.isEmpty())
            failure = library.errorString();
        return function != nullptr;
    }

    QString errorString() const { return failure; }

private:
    QLibrary library;
    QString failure;
};
