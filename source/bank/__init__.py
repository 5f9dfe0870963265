"""Reading banks and libraries: bank files, the bundled banks and laws, and the one safe parser
of formula text."""
