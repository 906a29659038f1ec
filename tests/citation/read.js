// Reads a citation file with citation-js and prints the fields of each record it finds,
// one "name=value" a line (line breaks inside a value as "\n"), records separated by a
// line "--": plain text that the C++ tests compare without a JSON parser of their own.
//   node read.js FILE
'use strict';
const fs = require('fs');
const { Cite } = require('@citation-js/core');
require('@citation-js/plugin-ris');
require('@citation-js/plugin-bibtex');
require('@citation-js/plugin-csl');

const text = fs.readFileSync(process.argv[2], 'utf8');
const records = new Cite(text).data;
const line = (name, value) => {
    if (value === undefined || value === null || value === '') return;
    process.stdout.write(`${name}=${String(value).replace(/\n/g, '\\n')}\n`);
};
const nameOf = (person) =>
    person.literal !== undefined
        ? `literal:${person.literal}`
        : [person.family || '', person.given || '', person.suffix || ''].join('|');

for (const r of records) {
    line('id', r.id);
    line('type', r.type);
    line('title', r.title);
    for (const person of r.author || []) line('author', nameOf(person));
    line('container-title', r['container-title']);
    line('container-title-short', r['container-title-short']);
    if (r.issued && r.issued['date-parts']) line('issued', r.issued['date-parts'][0].join('-'));
    line('volume', r.volume);
    line('issue', r.issue);
    line('page', r.page);
    line('ISSN', r.ISSN);
    line('DOI', r.DOI);
    line('PMID', r.PMID);
    line('PMCID', r.PMCID);
    line('abstract', r.abstract);
    // CSL keeps keywords in one string; readers join a list with "," or ", ".
    const keywords = Array.isArray(r.keyword) ? r.keyword : String(r.keyword || '').split(',');
    line('keyword', keywords.map((k) => k.trim()).filter((k) => k).join(', '));
    line('language', r.language);
    process.stdout.write('--\n');
}
