// The table of known media and the one report routine that both sources
// (the /proc/scsi scan and the sysfs source) feed with what they see.
#include <signal.h>

#include "pyxod.h"

// serial -> PYXO::media_ST*; the key is the record's own serial, owned by it.
static GHashTable *hash_tab = NULL;

void media_open(void) {
    hash_tab = g_hash_table_new(g_str_hash, g_str_equal);
}

static void report(const PYXO::media_ST *media) {
    logprintf(LOG_INFO, "Media %s state changed : %s", (const char *)media->serial,
              media->attached ? "Attached" : "Removed");
    PYXO_servant_media_changed(servant, media, &ev);
    if (PYXO_exception_raised(&ev)) {
        logprintf(LOG_ERR, "Servant : %s\n%s\n", PYXO_exception_id(&ev),
                  "Error sending report to servant");
        go_signal(SIGTERM);
    }
}

// What a report tells: a medium is compared on these two alone.
static bool same_state(const PYXO::media_ST *stored, const PYXO::media_ST *fresh) {
    return stored->attached == fresh->attached && stored->scsi.s_bus == fresh->scsi.s_bus;
}

int media_changes(const PYXO::media_ST *fresh) {
    const PYXO::media_ST *stored =
        (const PYXO::media_ST *)g_hash_table_lookup(hash_tab, (const char *)fresh->serial);
    return stored == NULL || !same_state(stored, fresh);
}

int media_update(PYXO::media_ST *fresh) {
    PYXO::media_ST *stored =
        (PYXO::media_ST *)g_hash_table_lookup(hash_tab, (const char *)fresh->serial);
    if (stored == NULL) {
        // The table keys the record by its own serial and owns it from now on.
        g_hash_table_insert(hash_tab, (gpointer)(const char *)fresh->serial, fresh);
        report(fresh);
        return 1;
    }
    if (same_state(stored, fresh)) {
        PYXO_media_ST_destroy(&fresh);
        return 0;
    }
    stored->attached = fresh->attached;
    // The whole address, so that a later Removed names the last one; the
    // /proc scan only ever sets s_bus.
    stored->scsi = fresh->scsi;
    report(fresh);
    PYXO_media_ST_destroy(&fresh);
    return 1;
}

int media_sweep(GHashTable *seen) {
    int sent = 0;
    GHashTableIter known;
    gpointer key, value;
    g_hash_table_iter_init(&known, hash_tab);
    while (g_hash_table_iter_next(&known, &key, &value)) {
        PYXO::media_ST *stored = (PYXO::media_ST *)value;
        if (!stored->attached || g_hash_table_contains(seen, key))
            continue;
        // Removed, with the last host address it had. The update changes
        // the stored record only, never the table's keys.
        PYXO::media_ST *fresh = NULL;
        PYXO_media_ST_copy(&stored, &fresh);
        fresh->attached = FALSE;
        sent += media_update(fresh);
    }
    return sent;
}

static gboolean free_hash_val(gpointer key, gpointer value, gpointer user_data) {
    (void)key;
    (void)user_data;
    PYXO::media_ST *media = (PYXO::media_ST *)value;
    PYXO_media_ST_destroy(&media);
    return TRUE;
}

void media_close(void) {
    if (hash_tab == NULL)
        return;
    g_hash_table_foreach_remove(hash_tab, free_hash_val, NULL);
    g_hash_table_destroy(hash_tab);
    hash_tab = NULL;
}
