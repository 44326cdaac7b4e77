#!/bin/sh
# Draws the password dialog's picture and writes it as XPM source beside this
# script (crypt.xpm): three rows of dark-blue ones and zeros on a light-grey,
# softly shaded ground, 48x48 pixels, two characters per pixel.
#
# The program expects exactly 620 colours: 619 drawn ones plus a transparent
# "None" under the key of two blanks that no pixel uses. The drawing yields a
# few more shades than that, so the rarest are merged into their nearest
# neighbour until 619 remain.
#
# Needs ImageMagick (convert) and the DejaVu fonts. Usage: dialog/crypt_xpm.sh
set -eu
cd "$(dirname "$0")"
out=crypt.xpm
want=619

convert -size 48x48 radial-gradient:'#fbfbfb'-'#b4b4b8' \
    \( -size 48x48 gradient:'#ffffff'-'#d0d0d8' \) -compose multiply -composite \
    -font DejaVu-Sans-Mono-Bold -pointsize 13 -fill '#12227a' -gravity center \
    -interline-spacing -2 -annotate +0+0 '10110
01001
11010' -alpha off -depth 8 txt:- |
awk -v want="$want" '
function hexval(h) { return index("0123456789ABCDEF", h) - 1 }
function chan(c, i) { return hexval(substr(c, i, 1)) * 16 + hexval(substr(c, i + 1, 1)) }
function dist(a, b,   d, s, i) {
    s = 0
    for (i = 2; i <= 6; i += 2) { d = chan(a, i) - chan(b, i); s += d * d }
    return s
}
/^#/ { next }
{
    split($1, xy, /[,:]/)
    colour = toupper($3)
    pixel[xy[2], xy[1]] = colour
    if (!(colour in used)) { order[++n] = colour }
    used[colour]++
}
END {
    # Merge the rarest colour into its nearest one until few enough remain.
    for (left = n; left > want; left--) {
        rare = ""
        for (i = 1; i <= n; i++)
            if (order[i] in used && (rare == "" || used[order[i]] < used[rare])) rare = order[i]
        best = ""
        for (i = 1; i <= n; i++) {
            c = order[i]
            if (!(c in used) || c == rare) continue
            if (best == "" || dist(c, rare) < dist(best, rare)) best = c
        }
        into[rare] = best
        used[best] += used[rare]
        delete used[rare]
    }
    if (left != want) { print "crypt_xpm.sh: only " left " colours drawn" > "/dev/stderr"; exit 1 }

    # Printable ASCII without the quote, the backslash and the question mark.
    chars = " !#$%&()*+,-./0123456789:;<=>@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}~"
    len = length(chars)
    print "/* XPM */"
    print "static const char *crypt_xpm[] = {"
    printf "\"48 48 %d 2\",\n", want + 1
    printf "\"  \tc None\",\n"
    k = 0
    for (i = 1; i <= n; i++) {
        c = order[i]
        if (!(c in used)) continue
        k++
        key[c] = substr(chars, int(k / len) + 1, 1) substr(chars, k % len + 1, 1)
        printf "\"%s\tc %s\",\n", key[c], c
    }
    for (y = 0; y < 48; y++) {
        row = ""
        for (x = 0; x < 48; x++) {
            c = pixel[y, x]
            while (c in into) c = into[c]
            row = row key[c]
        }
        printf "\"%s\"%s\n", row, (y < 47 ? "," : "")
    }
    print "};"
}' >"$out.tmp"
mv "$out.tmp" "$out"
echo "wrote $(pwd)/$out"
