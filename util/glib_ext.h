// A last-in-first-out stack of tagged values on a GLib list.
//
// Each element holds a pointer-sized value and an integer type tag of the
// caller's choosing. The stack owns its record, its links and its elements.
// It owns a value only when the element's tag lies between 7 and 14
// inclusive and the caller asks a pop (or empty/free) to release values:
// such a value must come from GLib's allocator and is released with g_free.
// Values with any other tag are never touched.
//
// Popping, peeking at or measuring an empty stack is a precondition failure
// (a critical log message and a neutral result); only gext_stack_is_empty
// answers for an empty stack quietly. Not thread-safe.
#pragma once

#include <glib.h>

G_BEGIN_DECLS

typedef struct {
    GList *stack;  // first link is the top; null when empty
} GExtStack;

typedef struct {
    gpointer value;
    gint type;
} GExtStackItem;

// A new empty stack, freed with gext_stack_free.
GExtStack *gext_stack_new(void);
// Empties the stack as gext_stack_empty_stack does, then frees the record.
void gext_stack_free(GExtStack *stack, gboolean free_values);
// Pops every element; quiet on an empty stack.
void gext_stack_empty_stack(GExtStack *stack, gboolean free_values);
void gext_stack_push(GExtStack *stack, gpointer value, gint type);
// Removes the top element; with free_values, g_frees its value when the tag
// is 7..14. FALSE when nothing was removed.
gboolean gext_stack_pop(GExtStack *stack, gboolean free_values);
// Pops n elements; TRUE when exactly n were removed. A negative n removes
// nothing and gives FALSE.
gboolean gext_stack_pop_x(GExtStack *stack, gint n, gboolean free_values);
// The top element's value (null when empty) and tag (0 when empty).
gpointer gext_stack_get_top(GExtStack *stack);
gint gext_stack_get_top_type(GExtStack *stack);
gboolean gext_stack_is_empty(GExtStack *stack);
// Number of elements, counted at each call.
gint gext_stack_deep(GExtStack *stack);

G_END_DECLS
