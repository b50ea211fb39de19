#include "access/names.hpp"

#include <cstddef>

namespace tavrocam::names {

#define TAVROCAM_DEFINE(ident, text) PyObject* ident = nullptr;
TAVROCAM_STRINGS(TAVROCAM_DEFINE)
#undef TAVROCAM_DEFINE

namespace {

#define TAVROCAM_TEXT(ident, text) text,
#define TAVROCAM_SLOT(ident, text) &ident,
const char* const texts[] = {TAVROCAM_STRINGS(TAVROCAM_TEXT)};
PyObject** const slots[] = {TAVROCAM_STRINGS(TAVROCAM_SLOT)};
#undef TAVROCAM_TEXT
#undef TAVROCAM_SLOT
constexpr std::size_t count = sizeof(texts) / sizeof(texts[0]);
bool ready = false;

}  // namespace

Status prepare_names() {
    if (ready) {
        return 0;
    }
    // Made into handles first and published only when every one exists, so a
    // failure part-way leaves nothing half-made for the next attempt.
    Ref made[count];
    for (std::size_t i = 0; i < count; ++i) {
        made[i] = Ref::take(PyUnicode_InternFromString(texts[i]));
        if (!made[i]) {
            return -1;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        *slots[i] = made[i].release();
    }
    ready = true;
    return 0;
}

void drop_names(Drop how) {
    for (PyObject** slot : slots) {
        drop(*slot, how);
    }
    ready = false;
}

}  // namespace tavrocam::names
