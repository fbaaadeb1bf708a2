// The layouts of CPython's structures that the runtime and the module read or fill in directly,
// so that the Windows configuration header (pyconfig.h beside this file) can be checked against
// the build machine's. Built natively with -DKAVORI_PRINT_LAYOUTS it prints each layout fact as a
// static_assert; the Windows compile includes that output (KAVORI_EXPECTED_LAYOUTS) and must
// agree. LLP64 changes only long and wchar_t: both are asserted per platform below, and no
// structure listed may move because of them.
#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

// PyUnicode_KIND and friends read these bit-fields: the bits of the 32-bit state word that one
// field takes.
template <class Field>
constexpr std::uint32_t unicode_state_bits(Field field) {
  std::uint32_t bits = 0;
  for (unsigned bit = 0; bit < 32; ++bit) {
    if (field(std::bit_cast<_PyUnicodeObject_state>(std::uint32_t{1} << bit)) != 0) {
      bits |= std::uint32_t{1} << bit;
    }
  }
  return bits;
}

}  // namespace

// clang-format off
#define KAVORI_LAYOUTS(X)                                                                     \
  X(sizeof(PyObject)) X(offsetof(PyObject, ob_type))                                         \
  X(sizeof(PyVarObject)) X(offsetof(PyVarObject, ob_size))                                   \
  X(sizeof(PyTypeObject)) X(offsetof(PyTypeObject, tp_name))                                 \
  X(offsetof(PyTypeObject, tp_basicsize)) X(offsetof(PyTypeObject, tp_dealloc))              \
  X(offsetof(PyTypeObject, tp_as_async)) X(offsetof(PyTypeObject, tp_as_number))            \
  X(offsetof(PyTypeObject, tp_as_sequence)) X(offsetof(PyTypeObject, tp_as_mapping))        \
  X(offsetof(PyTypeObject, tp_getattro)) X(offsetof(PyTypeObject, tp_flags))                 \
  X(offsetof(PyTypeObject, tp_doc)) X(offsetof(PyTypeObject, tp_getset))                     \
  X(offsetof(PyTypeObject, tp_free)) X(offsetof(PyTypeObject, tp_mro))                       \
  X(offsetof(PyTypeObject, tp_version_tag)) X(offsetof(PyTypeObject, tp_vectorcall))         \
  X(sizeof(PyAsyncMethods)) X(offsetof(PyAsyncMethods, am_anext))                            \
  X(offsetof(PyNumberMethods, nb_bool)) X(offsetof(PySequenceMethods, sq_length))            \
  X(offsetof(PyMappingMethods, mp_length))                                                   \
  X(sizeof(PyASCIIObject)) X(offsetof(PyASCIIObject, length))                                \
  X(offsetof(PyASCIIObject, hash)) X(offsetof(PyASCIIObject, state))                         \
  X(sizeof(_PyUnicodeObject_state))                                                          \
  X(unicode_state_bits([](auto s) { return s.interned; }))                                 \
  X(unicode_state_bits([](auto s) { return s.kind; }))                                     \
  X(unicode_state_bits([](auto s) { return s.compact; }))                                  \
  X(unicode_state_bits([](auto s) { return s.ascii; }))                                    \
  X(unicode_state_bits([](auto s) { return s.statically_allocated; }))                     \
  X(sizeof(PyCompactUnicodeObject)) X(offsetof(PyCompactUnicodeObject, utf8))                \
  X(sizeof(PyUnicodeObject)) X(offsetof(PyUnicodeObject, data))                              \
  X(offsetof(PyTupleObject, ob_item)) X(offsetof(PyListObject, ob_item))                     \
  X(sizeof(PyModuleDef_Base)) X(sizeof(PyModuleDef)) X(offsetof(PyModuleDef, m_size))       \
  X(offsetof(PyModuleDef, m_methods)) X(offsetof(PyModuleDef, m_slots))                      \
  X(offsetof(PyModuleDef, m_free)) X(sizeof(PyModuleDef_Slot))                               \
  X(sizeof(PyMethodDef)) X(offsetof(PyMethodDef, ml_flags))                                  \
  X(sizeof(PyGetSetDef)) X(offsetof(PyGetSetDef, closure))                                   \
  X(sizeof(PyMemberDef)) X(offsetof(PyMemberDef, offset)) X(offsetof(PyMemberDef, flags))   \
  X(sizeof(PyType_Spec)) X(offsetof(PyType_Spec, flags)) X(offsetof(PyType_Spec, slots))    \
  X(sizeof(PyType_Slot)) X(offsetof(PyType_Slot, pfunc))
// clang-format on

#if defined(KAVORI_PRINT_LAYOUTS)

static_assert(sizeof(long) == 8 && sizeof(wchar_t) == 4, "the reference is an LP64 Linux");

int main() {
#define KAVORI_PRINT(fact) \
  std::printf("static_assert(%s == %zu);\n", #fact, static_cast<std::size_t>(fact));
  KAVORI_LAYOUTS(KAVORI_PRINT)
}

#else

static_assert(sizeof(long) == 4 && sizeof(wchar_t) == 2, "64-bit Windows is LLP64");
static_assert(sizeof(void*) == 8 && sizeof(Py_ssize_t) == 8 && sizeof(Py_hash_t) == 8);
static_assert(alignof(PyObject) == 8);
#include KAVORI_EXPECTED_LAYOUTS

#endif
