// The capsules' destructors run whenever Python drops a capsule, consumed
// or not, and may not raise.
#include "python/arrow_capsules.hpp"

#include <utility>

#include "python/barrier.hpp"

namespace vornish {
namespace {

template <class Struct>
void release_capsule(PyObject* capsule, const char* name) noexcept {
  auto* exported = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (exported == nullptr) {
    PyErr_Clear();
    return;
  }
  if (exported->release != nullptr) {
    exported->release(exported);
  }
  delete exported;
}

void stream_capsule_destructor(PyObject* capsule) {
  release_capsule<ArrowArrayStream>(capsule, "arrow_array_stream");
}

void schema_capsule_destructor(PyObject* capsule) {
  release_capsule<ArrowSchema>(capsule, "arrow_schema");
}

template <class Struct>
PyRef wrap(std::unique_ptr<Struct> exported, const char* name, PyCapsule_Destructor destructor) {
  PyObject* capsule = PyCapsule_New(exported.get(), name, destructor);
  if (capsule == nullptr) {
    exported->release(exported.get());
    throw_python_error();
  }
  static_cast<void>(exported.release());
  return PyRef::steal(capsule);
}

}  // namespace

PyRef stream_capsule(std::unique_ptr<ArrowArrayStream> stream) {
  return wrap(std::move(stream), "arrow_array_stream", &stream_capsule_destructor);
}

PyRef schema_capsule(std::unique_ptr<ArrowSchema> schema) {
  return wrap(std::move(schema), "arrow_schema", &schema_capsule_destructor);
}

}  // namespace vornish
