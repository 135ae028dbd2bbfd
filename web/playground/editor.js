// The script editor: a textarea over a highlighted copy of its text, a gutter of line numbers, and
// markers at the line and column of each diagnostic. Hand-made so the page needs no library.

const GLOBAL_COMMANDS = new Set(['samplerate', 'bpm', 'buffer', 'framelength', 'midikey', 'pckey', 'ccvar', 'run', 'global']);
const SEQUENCE_COMMANDS = new Set([
    'fadeout', 'fadein', 'vol', 'own', 'print', 'let', 'push', 'pop', 'sqr', 'saw', 'noise5', 'noise17e', 'spawn', 'out',
]);
const CONDITIONS = new Set(['dur', 'if', 'while', 'maxinst', 'group']);

// One alternative per token class, tried in order at each position.
const TOKEN = new RegExp([
    '(?<comment>//[^\\n]*)',
    '(?<wave>`[^`]*`?)',
    '(?<string>"[^"\\n]*"?)',
    '(?<label>@loop\\b|@release\\b)',
    '(?<variable>%[0-9A-Za-z])',
    '(?<note>\\b[a-gA-G](?:#|b)?-?\\d\\b)',
    '(?<number>\\d+(?:\\.\\d*)?|\\.\\d+)',
    '(?<word>[A-Za-z_][A-Za-z0-9_]*)',
    '(?<unit>[~!@#?])',
    '(?<punct>[{}()\\[\\]=:,*])',
].join('|'), 'gy');

function Escape(text) {
    return text.replace(/[&<>]/g, (c) => (c === '&' ? '&amp;' : c === '<' ? '&lt;' : '&gt;'));
}

function WordClass(word) {
    if (GLOBAL_COMMANDS.has(word)) return 'global';
    if (SEQUENCE_COMMANDS.has(word)) return 'command';
    if (CONDITIONS.has(word)) return 'condition';
    if (word === 'sin2pi') return 'function';
    return 'name';
}

/** Highlighted HTML of a script: one span per token, with a class per token kind. */
export function Highlight(text) {
    let html = '';
    let position = 0;
    while (position < text.length) {
        TOKEN.lastIndex = position;
        const match = TOKEN.exec(text);
        if (match === null) {
            html += Escape(text[position]);
            position += 1;
            continue;
        }
        const kind = Object.keys(match.groups).find((key) => match.groups[key] !== undefined);
        const className = kind === 'word' ? WordClass(match[0]) : kind;
        html += `<span class="tok-${className}">${Escape(match[0])}</span>`;
        position += match[0].length;
    }
    return html;
}

// The column as shown, tabs expanded to the editor's tab size.
function VisualColumn(lineText, column, tabSize) {
    let visual = 0;
    for (let i = 0; i < column - 1 && i < lineText.length; ++i) {
        visual = lineText[i] === '\t' ? (Math.floor(visual / tabSize) + 1) * tabSize : visual + 1;
    }
    return visual + Math.max(0, column - 1 - lineText.length);
}

export class Editor {
    constructor(root, { onChange, onRun, tabSize = 4 } = {}) {
        this.tabSize = tabSize;
        this.diagnostics = [];
        root.classList.add('editor');
        root.innerHTML = `<div class="gutter" aria-hidden="true"></div>
            <div class="code"><pre class="highlight" aria-hidden="true"></pre><div class="markers" aria-hidden="true"></div>
            <textarea spellcheck="false" autocapitalize="off" autocomplete="off" aria-label="Script"></textarea></div>`;
        this.gutter = root.querySelector('.gutter');
        this.highlight = root.querySelector('.highlight');
        this.markers = root.querySelector('.markers');
        this.textarea = root.querySelector('textarea');
        this.textarea.addEventListener('input', () => {
            this.#refresh();
            onChange?.(this.value);
        });
        this.textarea.addEventListener('scroll', () => this.#scroll());
        this.textarea.addEventListener('keydown', (event) => {
            if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) {
                event.preventDefault();
                onRun?.();
            } else if (event.key === 'Tab' && !event.shiftKey) {
                event.preventDefault();
                document.execCommand('insertText', false, '    ');
            }
        });
    }

    get value() {
        return this.textarea.value;
    }

    set value(text) {
        this.textarea.value = text;
        this.diagnostics = [];
        this.#refresh();
    }

    /** Marks each diagnostic ({ line, column, message, severity }) in the gutter and the text. */
    setDiagnostics(diagnostics) {
        this.diagnostics = diagnostics;
        this.#refresh();
    }

    /** Puts the cursor at a 1-based line and column. */
    focusAt(line, column) {
        const lines = this.value.split('\n');
        let offset = 0;
        for (let i = 0; i < line - 1 && i < lines.length; ++i) offset += lines[i].length + 1;
        offset += Math.min(column - 1, (lines[line - 1] ?? '').length);
        this.textarea.focus();
        this.textarea.setSelectionRange(offset, offset);
    }

    #refresh() {
        const text = this.value;
        const lines = text.split('\n');
        // The trailing line break keeps the copy as tall as the textarea when the text ends in one.
        this.highlight.innerHTML = `${Highlight(text)}\n`;
        const byLine = new Map();
        for (const diagnostic of this.diagnostics) {
            const previous = byLine.get(diagnostic.line);
            if (previous === undefined || diagnostic.severity === 'error') byLine.set(diagnostic.line, diagnostic);
        }
        const numbers = [];
        for (let line = 1; line <= lines.length; ++line) {
            const diagnostic = byLine.get(line);
            const mark = diagnostic === undefined ? '' : ` ${diagnostic.severity}`;
            const title = diagnostic === undefined ? '' : ` title="${Escape(diagnostic.message)}"`;
            numbers.push(`<div class="line-number${mark}" data-line="${line}"${title}>${line}</div>`);
        }
        this.gutter.innerHTML = numbers.join('');
        this.markers.innerHTML = this.diagnostics.map((diagnostic) => {
            const lineText = lines[diagnostic.line - 1] ?? '';
            const column = VisualColumn(lineText, diagnostic.column, this.tabSize);
            return `<div class="marker ${diagnostic.severity}" data-line="${diagnostic.line}" data-column="${diagnostic.column}"
                style="--line: ${diagnostic.line - 1}; --column: ${column}" title="${Escape(diagnostic.message)}"></div>`;
        }).join('');
        this.#scroll();
    }

    #scroll() {
        const { scrollTop, scrollLeft } = this.textarea;
        this.highlight.style.transform = `translate(${-scrollLeft}px, ${-scrollTop}px)`;
        this.markers.style.transform = `translate(${-scrollLeft}px, ${-scrollTop}px)`;
        this.gutter.scrollTop = scrollTop;
    }
}
