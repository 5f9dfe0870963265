"""What a run reports: the text report, the JSON document, the formulas table (CSV), the HTML
page and its heat map, and the concept report."""
