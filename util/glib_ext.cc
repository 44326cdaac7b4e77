#include "glib_ext.h"

#include "pyxo_check.h"

// Values tagged in this range are heap blocks the stack may release.
static bool owned_type(gint type) {
    return type >= 7 && type <= 14;
}

GExtStack *gext_stack_new(void) {
    return (GExtStack *)g_malloc0(sizeof(GExtStack));
}

void gext_stack_free(GExtStack *stack, gboolean free_values) {
    pyxo_return_if_fail(stack != NULL);
    gext_stack_empty_stack(stack, free_values);
    g_free(stack);
}

void gext_stack_empty_stack(GExtStack *stack, gboolean free_values) {
    pyxo_return_if_fail(stack != NULL);
    while (stack->stack != NULL)
        gext_stack_pop(stack, free_values);
}

void gext_stack_push(GExtStack *stack, gpointer value, gint type) {
    pyxo_return_if_fail(stack != NULL);
    GExtStackItem *item = (GExtStackItem *)g_malloc(sizeof(GExtStackItem));
    item->value = value;
    item->type = type;
    stack->stack = g_list_prepend(stack->stack, item);
}

gboolean gext_stack_pop(GExtStack *stack, gboolean free_values) {
    pyxo_return_val_if_fail(stack != NULL, FALSE);
    pyxo_return_val_if_fail(stack->stack != NULL, FALSE);
    GExtStackItem *item = (GExtStackItem *)stack->stack->data;
    if (free_values && owned_type(item->type))
        g_free(item->value);
    g_free(item);
    stack->stack = g_list_delete_link(stack->stack, stack->stack);
    return TRUE;
}

gboolean gext_stack_pop_x(GExtStack *stack, gint n, gboolean free_values) {
    pyxo_return_val_if_fail(stack != NULL, FALSE);
    pyxo_return_val_if_fail(stack->stack != NULL, FALSE);
    gint removed = 0;
    while (removed < n && gext_stack_pop(stack, free_values))
        removed++;
    return removed == n;
}

gpointer gext_stack_get_top(GExtStack *stack) {
    pyxo_return_val_if_fail(stack != NULL, NULL);
    pyxo_return_val_if_fail(stack->stack != NULL, NULL);
    return ((GExtStackItem *)stack->stack->data)->value;
}

gint gext_stack_get_top_type(GExtStack *stack) {
    pyxo_return_val_if_fail(stack != NULL, 0);
    pyxo_return_val_if_fail(stack->stack != NULL, 0);
    return ((GExtStackItem *)stack->stack->data)->type;
}

gboolean gext_stack_is_empty(GExtStack *stack) {
    pyxo_return_val_if_fail(stack != NULL, TRUE);
    return stack->stack == NULL;
}

gint gext_stack_deep(GExtStack *stack) {
    pyxo_return_val_if_fail(stack != NULL, 0);
    pyxo_return_val_if_fail(stack->stack != NULL, 0);
    return (gint)g_list_length(stack->stack);
}
