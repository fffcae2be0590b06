# The README of the installed package, made from the source's: the sections for developers
# (building, installing from source, testing, benchmarks, fuzzing, the source layout) are left
# out, and the programs are called by their installed names.
#
#   awk -f packaging/user-readme.awk README.md >README.installed.md
/^## / {
  skip = ($0 ~ /^## (Quick start|Building|Install|Benchmarks|Fuzzing|Layout)$/)
}
!skip {
  gsub(/\.\/build\/tools\/termsim\/termsim/, "telvaro3-termsim")
  gsub(/\.\/build\/telvaro3/, "telvaro3")
  print
}
