# cmake -DSOURCE=docs/manifest.md -DOUTPUT=mkportable-manifest.5 -P manifest-man-page.cmake
#
# Writes mkportable-manifest(5) from docs/manifest.md: its complete example
# and its two tables of keys become the page's EXAMPLE and KEYS, so the page
# and the document say the same about every key. The text is rewritten as
# whole strings, never split into CMake lists, whose `;` and `[` would break.
file(READ ${SOURCE} doc)

# Roff prints backslashes and hyphens only when escaped.
function(roff_text out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The text between two headings (the second excluded).
function(section out from to)
  string(FIND "${doc}" "${from}" start)
  string(FIND "${doc}" "${to}" end)
  if(start EQUAL -1 OR end LESS start)
    message(FATAL_ERROR "${SOURCE}: no section from \"${from}\" to \"${to}\"")
  endif()
  string(LENGTH "${from}" skip)
  math(EXPR start "${start} + ${skip}")
  math(EXPR length "${end} - ${start}")
  string(SUBSTRING "${doc}" ${start} ${length} text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

section(example "## A complete manifest\n\n```toml\n" "```\n\n### Keys")
roff_text(example "${example}")

section(keys "### Keys\n\n" "\n### How the launcher recognises a machine")
roff_text(keys "${keys}")
# The header rows go; every other row is a tagged paragraph: the key in bold
# (its inline code), the type in parentheses, then the meaning.
string(REGEX REPLACE "\\| Key \\| Type \\| Meaning \\|\n\\|[|\\-]*\\|\n" "" keys "${keys}")
string(REGEX REPLACE "\\| ([^|\n]*) \\| ([^|\n]*) \\| ([^|\n]*) \\|\n" ".TP\n\\1 (\\2)\n\\3\n" keys "${keys}")
string(REGEX REPLACE "\nIn a record:\n\n" "\n.SS \"In a record\"\n" keys "${keys}")
string(REGEX REPLACE "\n\n([^.])" "\n.PP\n\\1" keys "${keys}")
string(REGEX REPLACE "\n\n+\\." "\n." keys "${keys}")
string(REGEX REPLACE "`([^`]*)`" "\\\\fB\\1\\\\fR" keys "${keys}")

file(WRITE ${OUTPUT} ".TH MKPORTABLE-MANIFEST 5 \"\" \"mkportable\" \"mkportable manual\"
.SH NAME
mkportable-manifest \\- the TOML file that describes a portable package
.SH SYNOPSIS
\\fBmkportable build\\fR \\fIMANIFEST\\fR [\\fB\\-o\\fR \\fIFILE\\fR]
.SH DESCRIPTION
A manifest names the image of a tool, the command records that the launcher
chooses from, and the package's settings. Relative paths are taken from the
manifest's own folder. A misspelt or unknown key is an error, never ignored.
.SH EXAMPLE
.nf
${example}.fi
.SH KEYS
${keys}.SH SEE ALSO
\\fBmkportable\\-build\\fR(1), \\fBmkportable\\-info\\fR(1), \\fBportable\\-package\\fR(1)
")
