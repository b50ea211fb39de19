#include "access/names.hpp"

namespace tavrocam {

Status make_names(Names& names) {
#define TAVROCAM_MAKE(ident, text)                                 \
    if ((names.ident = PyUnicode_InternFromString(text)) == nullptr) { \
        return -1;                                                 \
    }
    TAVROCAM_STRINGS(TAVROCAM_MAKE)
#undef TAVROCAM_MAKE
    return 0;
}

void release_names(Names& names) {
#define TAVROCAM_RELEASE(ident, text) Py_CLEAR(names.ident);
    TAVROCAM_STRINGS(TAVROCAM_RELEASE)
#undef TAVROCAM_RELEASE
}

}  // namespace tavrocam
