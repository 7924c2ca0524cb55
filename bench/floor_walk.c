/* The least work a copying set_value can do, for bench_floor.py to time.
 *
 * walk(data, 0) visits every object of data the way any conversion must: each container's
 * items, each key's UTF-8 bytes, each scalar's value. It stores nothing.
 * walk(data, 1) also makes the smallest tree that holds a copy: one block per container with
 * room for its entries (48 bytes per mapping entry, 16 per list item, as in the engine's tree)
 * and one block per string too long to sit inline, its bytes copied; all from the interpreter's
 * allocator, as the engine's trees are. Then it frees that tree, as replacing a value does.
 * No sorting, no checks, no error paths: a floor, not a converter.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

typedef struct Block {
  Py_ssize_t count;
  struct Block *children[];
} Block;

static unsigned long long touched; /* keeps the reads from being optimised away */

static Block *visit(PyObject *o, int build) {
  PyTypeObject *type = Py_TYPE(o);
  if (type == &PyUnicode_Type) {
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(o, &n);
    touched += (unsigned long long)n + (n ? (unsigned char)s[0] : 0);
    if (build && n > 14) {
      Block *copy = PyMem_Malloc(sizeof(Block) + (size_t)n);
      copy->count = -1;
      memcpy(copy->children, s, (size_t)n);
      return copy;
    }
    return NULL;
  }
  if (type == &PyLong_Type) {
    int overflow;
    touched += (unsigned long long)PyLong_AsLongLongAndOverflow(o, &overflow);
    return NULL;
  }
  if (type == &PyFloat_Type) {
    touched += (unsigned long long)(long long)PyFloat_AS_DOUBLE(o);
    return NULL;
  }
  if (type == &PyList_Type) {
    Py_ssize_t n = PyList_GET_SIZE(o);
    Block *block = build ? PyMem_Malloc(sizeof(Block) + (size_t)n * 16) : NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
      Block *child = visit(PyList_GET_ITEM(o, i), build);
      if (block) block->children[2 * i] = child;
    }
    if (block) block->count = n;
    return block;
  }
  if (type == &PyDict_Type) {
    Py_ssize_t n = PyDict_GET_SIZE(o), pos = 0, i = 0, key_size;
    PyObject *key, *value;
    Block *block = build ? PyMem_Malloc(sizeof(Block) + (size_t)n * 48) : NULL;
    while (PyDict_Next(o, &pos, &key, &value)) {
      const char *bytes = PyUnicode_AsUTF8AndSize(key, &key_size);
      touched += (unsigned long long)key_size;
      if (block) memcpy(&block->children[6 * i + 1], bytes, key_size < 32 ? (size_t)key_size : 32);
      Block *child = visit(value, build);
      if (block) block->children[6 * i] = child;
      i++;
    }
    if (block) block->count = -2 - n;
    return block;
  }
  touched++; /* True, False, None */
  return NULL;
}

static void release(Block *block) {
  if (!block) return;
  if (block->count >= 0) {
    for (Py_ssize_t i = 0; i < block->count; i++) release(block->children[2 * i]);
  } else if (block->count <= -2) {
    for (Py_ssize_t i = 0; i < -2 - block->count; i++) release(block->children[6 * i]);
  }
  PyMem_Free(block);
}

static PyObject *walk(PyObject *self, PyObject *args) {
  PyObject *data;
  int build;
  if (!PyArg_ParseTuple(args, "Op", &data, &build)) return NULL;
  release(visit(data, build));
  return PyLong_FromUnsignedLongLong(touched);
}

static PyMethodDef methods[] = {{"walk", walk, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_walk", NULL, -1, methods};
PyMODINIT_FUNC PyInit_floor_walk(void) { return PyModule_Create(&module); }
