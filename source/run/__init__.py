"""One detection run and where its work executes: describing, similarities, clustering and
scoring, the filter, the library match and verdicts, and the text blocks of its structures."""
