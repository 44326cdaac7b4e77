// pyxo-dialog: asks one thing in a modal GTK 2 dialog and hands the answer
// back to the script that started it. The answer is the exit status; the
// text of the password and question kinds also goes to standard output.
#include <errno.h>
#include <libintl.h>
#include <locale.h>
#include <popt.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include "pyxo_paths.h"

#include "crypt.xpm"

enum {
    DIALOG_INFO = 0,
    DIALOG_ERROR = 1,
    DIALOG_VALUE = 2,
    DIALOG_PASSWORD = 3,
    DIALOG_YES_NO = 4,
    DIALOG_QUESTION = 5,
    DIALOG_NONE = 6,
};

// Indexed by kind: the words -t accepts, in any ASCII case.
static const char *const kind_words[] = {"info",     "error",  "value",
                                         "password", "yes_no", "question"};

// Values of the long options that have no letter.
enum { OPT_TITLE = 1000, OPT_TIMEOUT, OPT_ENTRY_TEXT };

// The options added for scripts stay out of -h's text, which scripts and
// people already know by heart; pyxo-dialog(1) documents them.
static struct poptOption options[] = {
    {"help", 'h', POPT_ARG_NONE, NULL, 'h', "Display this help", "none"},
    {"type", 't', POPT_ARG_STRING, NULL, 't', "Type of dialog", "type"},
    {"message", 'm', POPT_ARG_STRING, NULL, 'm', "Message to display", "string"},
    {"title", 0, POPT_ARG_STRING | POPT_ARGFLAG_DOC_HIDDEN, NULL, OPT_TITLE, NULL, NULL},
    {"timeout", 0, POPT_ARG_STRING | POPT_ARGFLAG_DOC_HIDDEN, NULL, OPT_TIMEOUT, NULL, NULL},
    {"entry-text", 0, POPT_ARG_STRING | POPT_ARGFLAG_DOC_HIDDEN, NULL, OPT_ENTRY_TEXT, NULL, NULL},
    POPT_TABLEEND,
};

static int dialog_type = DIALOG_NONE;
static const char no_message[] = "No message displayed";
static const char *dialog_message = no_message;
static GList *dialog_arg = NULL;
static int answer = -1;
static char *dialog_title = NULL;       // null: the kind's own title
static guint dialog_timeout = 0;        // seconds; 0: wait for ever
static char *dialog_entry_text = NULL;  // the question's initial text
static GtkWidget *win = NULL;
static GtkWidget *entry = NULL;
static XIOErrorHandler toolkit_io_error = NULL;
static bool display_lost = false;

// _exit skips stdio's own flush, and the ">>> " lines must reach a pipe or a
// file as surely as they reach a terminal, and before the warning when both
// streams share one file.
static void abort_run(const char *why) {
    fflush(stdout);
    g_log(NULL, G_LOG_LEVEL_WARNING, "%s", why);
    _exit(-1);
}

// GDK reports a lost display with a message of its own and then calls
// exit(1), and 1 is also a button's answer: keep the message, but end with
// the status of no answer.
static void end_without_answer() {
    if (display_lost) {
        fflush(stdout);
        _exit(255);
    }
}

static int lose_display(Display *display) {
    display_lost = true;
    return toolkit_io_error(display);
}

// In the locale's own encoding where it can hold every character typed;
// else the bytes as typed (UTF-8) rather than a '?' for each character it
// lacks, since a password must arrive exactly. The text is the answer: if
// it cannot be written, the dialog has no answer.
static void write_typed_text(const char *text) {
    char *local = g_locale_from_utf8(text, -1, NULL, NULL, NULL);
    if (fputs(local ? local : text, stdout) == EOF || fflush(stdout) != 0) {
        int error = errno;
        answer = -1;
        g_log(NULL, G_LOG_LEVEL_WARNING, "cannot write the typed text: %s", g_strerror(error));
    }
    g_free(local);
}

// Refused rather than read as far as it goes: a script that meant to bound
// its wait must not wait for ever, nor be cut short, because of a typo.
static guint timeout_seconds(const char *text) {
    const guint most = G_MAXUINT / 1000;
    char *end = NULL;
    guint64 seconds = 0;
    if (g_ascii_isdigit(text[0]))
        seconds = g_ascii_strtoull(text, &end, 10);
    if (seconds == 0 || seconds > most || *end != '\0') {
        char *why =
            g_strdup_printf("bad --timeout \"%s\": give whole seconds from 1 to %u", text, most);
        abort_run(why);
    }
    return (guint)seconds;
}

// No answer came in time: the same answer as a closed window.
static gboolean time_out(gpointer data) {
    (void)data;
    answer = -1;
    g_log(NULL, G_LOG_LEVEL_WARNING, "timed out");
    gtk_main_quit();
    return FALSE;
}

// The argument of an option that takes one, or null when popt had none.
static char *take_text(poptContext context, char *previous) {
    char *text = poptGetOptArg(context);
    if (!text)
        return previous;
    g_free(previous);
    char *copy = g_strdup(text);
    free(text);
    return copy;
}

static void print_help(poptContext context) {
    printf("*********************************************************\n");
    printf("pyxo-dialog, dialog boxes for shell scripts, by the pyxo authors, 2026\n");
    printf("Usage : pyxo-dialog -t <info|error|value|password|yes_no|question>\n");
    printf("        pyxo-dialog -t value \"text bp 1\" answer \"text bp 2\" answer ...\n\n");
    poptPrintHelp(context, stdout, 0);
    exit(0);
}

static void responce_callback(GtkDialog *dialog, gint response, gpointer data) {
    (void)dialog;
    (void)data;
    switch (response) {
        case GTK_RESPONSE_CLOSE:
        case GTK_RESPONSE_CANCEL:
            answer = -1;
            break;
        case GTK_RESPONSE_OK:
            answer = GTK_RESPONSE_OK;
            if (dialog_type == DIALOG_PASSWORD || dialog_type == DIALOG_QUESTION)
                write_typed_text(gtk_entry_get_text(GTK_ENTRY(entry)));
            break;
        case GTK_RESPONSE_DELETE_EVENT:
        case GTK_RESPONSE_NONE:
            break;
        default:
            answer = response;
            break;
    }
    gtk_main_quit();
}

static void pyxo_setting_activate_pass_callback(GtkEntry *activated, gpointer data) {
    (void)activated;
    (void)data;
    gtk_dialog_response(GTK_DIALOG(win), GTK_RESPONSE_OK);
}

static void build_message_dialog() {
    GtkMessageType type = GTK_MESSAGE_INFO;
    GtkButtonsType buttons = GTK_BUTTONS_OK;
    if (dialog_type == DIALOG_ERROR) {
        type = GTK_MESSAGE_ERROR;
        buttons = GTK_BUTTONS_CLOSE;
    } else if (dialog_type == DIALOG_YES_NO) {
        type = GTK_MESSAGE_QUESTION;
        buttons = GTK_BUTTONS_YES_NO;
    }
    // The caller's text is data, never a format.
    win = gtk_message_dialog_new(NULL, GTK_DIALOG_MODAL, type, buttons, "%s", dialog_message);
}

// One button per (text, number) pair, consuming the list as it goes.
static void add_value_buttons() {
    while (dialog_arg) {
        int number = 0;
        char *text = g_strdup((const char *)dialog_arg->data);
        g_free(dialog_arg->data);
        dialog_arg = g_list_delete_link(dialog_arg, dialog_arg);
        if (dialog_arg) {
            sscanf((const char *)dialog_arg->data, "%d", &number);
            g_free(dialog_arg->data);
            dialog_arg = g_list_delete_link(dialog_arg, dialog_arg);
        }
        printf(">>>>>>>>>> %s %d\n", text, number);
        gtk_dialog_add_button(GTK_DIALOG(win), text, number);
        g_free(text);
    }
}

static void build_own_dialog() {
    const char *title;
    if (dialog_type == DIALOG_PASSWORD)
        title = dcgettext("pyxo", "PYXO, password....", LC_MESSAGES);
    else if (dialog_type == DIALOG_QUESTION)
        title = dcgettext("pyxo", "PYXO, Question....", LC_MESSAGES);
    else
        title = dcgettext("pyxo", "PYXO, question....", LC_MESSAGES);

    if (dialog_type == DIALOG_VALUE)
        win = gtk_dialog_new_with_buttons(title, NULL, GTK_DIALOG_MODAL, NULL, NULL);
    else
        win = gtk_dialog_new_with_buttons(title, NULL, GTK_DIALOG_MODAL, GTK_STOCK_OK,
                                          GTK_RESPONSE_OK, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
                                          NULL);

    GtkWidget *hbox = gtk_hbox_new(FALSE, 5);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(win)->vbox), hbox, FALSE, TRUE, 5);

    GtkWidget *picture;
    if (dialog_type == DIALOG_PASSWORD) {
        GdkPixbuf *pixbuf = gdk_pixbuf_new_from_xpm_data(crypt_xpm);
        picture = gtk_image_new_from_pixbuf(pixbuf);
        g_object_unref(pixbuf);
    } else {
        picture = gtk_image_new_from_stock(GTK_STOCK_DIALOG_QUESTION, GTK_ICON_SIZE_DIALOG);
    }
    gtk_box_pack_start(GTK_BOX(hbox), picture, FALSE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(hbox), gtk_vseparator_new(), FALSE, TRUE, 5);

    GtkWidget *vbox = gtk_vbox_new(FALSE, 5);
    gtk_box_pack_start(GTK_BOX(hbox), vbox, TRUE, TRUE, 5);
    gtk_box_pack_start(GTK_BOX(vbox), gtk_label_new(dialog_message), FALSE, TRUE, 5);

    if (dialog_type == DIALOG_PASSWORD || dialog_type == DIALOG_QUESTION) {
        entry = gtk_entry_new();
        if (dialog_type == DIALOG_PASSWORD)
            gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
        // Never a password's: a command line is there for every user to
        // read in ps.
        else if (dialog_entry_text)
            gtk_entry_set_text(GTK_ENTRY(entry), dialog_entry_text);
        gtk_box_pack_start(GTK_BOX(vbox), entry, FALSE, TRUE, 5);
        g_signal_connect_data(entry, "activate", G_CALLBACK(pyxo_setting_activate_pass_callback),
                              NULL, NULL, (GConnectFlags)0);
    }
    if (dialog_type == DIALOG_VALUE)
        add_value_buttons();
}

int main(int argc, char **argv) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    g_type_init();
    G_GNUC_END_IGNORE_DEPRECATIONS

    poptContext context = poptGetContext("pyxo", argc, (const char **)argv, options, 0);
    int rc;
    while ((rc = poptGetNextOpt(context)) != -1) {
        if (rc == 'm') {
            char *text = poptGetOptArg(context);
            if (text) {
                if (dialog_message != no_message)
                    g_free((char *)dialog_message);
                dialog_message = g_strdup(text);
            }
            free(text);
        } else if (rc == 't') {
            char *word = poptGetOptArg(context);
            for (int kind = 0; word && kind < 6; kind++) {
                if (g_ascii_strcasecmp(word, kind_words[kind]) == 0) {
                    dialog_type = kind;
                    break;
                }
            }
            free(word);
        } else if (rc == 'h') {
            print_help(context);
        } else if (rc == OPT_TITLE) {
            dialog_title = take_text(context, dialog_title);
        } else if (rc == OPT_ENTRY_TEXT) {
            dialog_entry_text = take_text(context, dialog_entry_text);
        } else if (rc == OPT_TIMEOUT) {
            char *text = take_text(context, NULL);
            if (text)
                dialog_timeout = timeout_seconds(text);
            g_free(text);
        }
        // Anything else, popt's own errors included, is not ours to judge:
        // toolkit options such as --display pass through here too.
    }

    const char **rest = poptGetArgs(context);
    for (; rest && *rest; rest++) {
        printf(">>> %s\n", *rest);
        dialog_arg = g_list_append(dialog_arg, g_strdup(*rest));
    }
    if (dialog_arg && g_list_length(dialog_arg) % 2 == 1)
        abort_run("bad optional arguments number, abort");
    if (!dialog_arg && dialog_type == DIALOG_VALUE)
        abort_run("This type need at least one button value");
    poptFreeContext(context);

    gtk_set_locale();
    bindtextdomain("pyxo", PYXO_LOCALE_DIR);
    // GTK takes UTF-8 whatever the locale's own character set is.
    bind_textdomain_codeset("pyxo", "UTF-8");
    textdomain("pyxo");

    // gtk_init would end with status 1, a button's answer, without a display.
    if (!gtk_init_check(&argc, &argv)) {
        const char *name = gdk_get_display_arg_name();
        if (name == NULL)
            name = g_getenv("DISPLAY");
        char *why = g_strdup_printf("cannot open display: %s", name ? name : "");
        abort_run(why);
    }
    atexit(end_without_answer);
    toolkit_io_error = XSetIOErrorHandler(lose_display);

    if (dialog_type == DIALOG_VALUE || dialog_type == DIALOG_PASSWORD ||
        dialog_type == DIALOG_QUESTION)
        build_own_dialog();
    else
        build_message_dialog();

    if (dialog_title)
        gtk_window_set_title(GTK_WINDOW(win), dialog_title);

    g_signal_connect_data(win, "response", G_CALLBACK(responce_callback), win, NULL,
                          G_CONNECT_SWAPPED);
    gtk_widget_show_all(win);
    if (dialog_timeout)
        g_timeout_add(dialog_timeout * 1000, time_out, NULL);
    gtk_main();
    return answer;
}
