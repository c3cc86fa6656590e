# Fills a manual page template with tables of the README, so that the reference tables have one
# source. Prints the template with every line
#
#   .\" README table: <heading>
#
# replaced by the first table under the README's "## <heading>", as one tagged paragraph (.TP) per
# row: the first column is the tag (continued with .TQ when long), middle columns become
# "Header: value." lines, the last column is the text. A marker whose table is missing is an error.
#
#   awk -f readme-tables.awk README.md page.in > page
function trim(s) {
    sub(/^[ \t]+/, "", s)
    sub(/[ \t]+$/, "", s)
    return s
}

# Markdown cell text as roff: `code` in bold with its hyphens as minus signs, backslashes escaped.
function roff(s,    out, i, c, code) {
    out = ""
    code = 0
    for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "`") {
            out = out (code ? "\\fR" : "\\fB")
            code = !code
        } else if (c == "\\") {
            out = out "\\e"
        } else if (c == "-" && code) {
            out = out "\\-"
        } else {
            out = out c
        }
    }
    return out
}

# Text as lines of at most 78 characters (a longer word stays whole), none of them starting with a
# control character.
function wrapped(s,    n, i, words, line, out) {
    n = split(s, words, " ")
    line = ""
    out = ""
    for (i = 1; i <= n; i++) {
        if (line != "" && length(line) + 1 + length(words[i]) > 78) {
            out = out safe(line) "\n"
            line = ""
        }
        line = line (line == "" ? "" : " ") words[i]
    }
    return out safe(line) "\n"
}

function safe(line,    c) {
    c = substr(line, 1, 1)
    return (c == "." || c == "'") ? "\\&" line : line
}

# Splits a table row "| a | b |" into cells[1..n]; returns n.
function cells_of(row, cells,    n, i, parts) {
    row = trim(row)
    sub(/^\|/, "", row)
    sub(/\|$/, "", row)
    n = split(row, parts, "|")
    for (i = 1; i <= n; i++) cells[i] = trim(parts[i])
    return n
}

FNR == NR {
    if ($0 ~ /^## /) {
        section = substr($0, 4)
        rows = 0
        next
    }
    if ($0 !~ /^\|/) {
        if (rows > 0) done[section] = 1
        rows = 0
        next
    }
    if (section in done) next
    rows++
    if (rows == 1) {
        columns[section] = cells_of($0, header)
        for (i = 1; i <= columns[section]; i++) heading[section, i] = header[i]
        next
    }
    if (rows == 2) next  # the |---| line
    n = cells_of($0, cell)
    text = wrapped(roff(cell[1]))
    gsub(/\n/, "\n.TQ\n", text)  # a long tag goes on over further tag lines
    text = ".TP\n" substr(text, 1, length(text) - 4)
    for (i = 2; i < n; i++) text = text wrapped(heading[section, i] ": " roff(cell[i]) ".") ".br\n"
    text = text wrapped(roff(cell[n]))
    table[section] = table[section] text
    next
}

/^\.\\" README table: / {
    name = $0
    sub(/^\.\\" README table: /, "", name)
    if (!(name in table)) {
        printf "README.md has no table under '## %s'\n", name > "/dev/stderr"
        failed = 1
        exit 1
    }
    printf "%s", table[name]
    next
}

{ print }
