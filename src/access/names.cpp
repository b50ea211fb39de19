#include "access/names.hpp"

namespace tavrocam::names {

#define TAVROCAM_DEFINE(ident, text) PyObject* ident = nullptr;
TAVROCAM_STRINGS(TAVROCAM_DEFINE)
#undef TAVROCAM_DEFINE

int prepare_names() {
#define TAVROCAM_MAKE(ident, text)                             \
    if (ident == nullptr) {                                    \
        ident = PyUnicode_InternFromString(text);              \
        if (ident == nullptr) {                                \
            return -1;                                         \
        }                                                      \
    }
    TAVROCAM_STRINGS(TAVROCAM_MAKE)
#undef TAVROCAM_MAKE
    return 0;
}

}  // namespace tavrocam::names
