// Lists the folders of the store as a tree, with each folder's identifier,
// kind and counts: examples/list-folders.js for Node.js.
//
//   node --import $VORN_NODE/vorn/register.mjs examples/node/list-folders.mjs
//
// where VORN_NODE is the folder that holds the vorn package (build/node in the
// tree, PREFIX/lib/vorn/node once installed).
import { ActiveXObject, release } from 'vorn';

const c = new ActiveXObject('VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1');
if (!c.InitControl()) throw new Error('InitControl failed: the store cannot be opened');

// GetFolderType: 1 to 5 for the special folders, -1 for an ordinary one.
const KINDS = new Map([[1, 'inbox'], [2, 'outbox'], [3, 'sent'], [4, 'deleted'], [5, 'drafts'],
                       [-1, '']]);

const folders = Array.from({ length: c.GetFolderCount() }, (_, i) => ({
  id: c.GetFolderId(i),
  kind: KINDS.get(c.GetFolderType(i)) ?? '?',
  messages: c.GetFolderMessageCount(i),
  unread: c.GetFolderUnreads(i),
  depth: c.GetFolderHierarchy(i),
  name: c.GetFolderName(i),
  subfolders: c.GetFolderSubFolderCount(i),
}));

console.log(`${'Id'.padStart(5)}  ${'Kind'.padEnd(8)}${'Messages'.padStart(9)}` +
            `${'Unread'.padStart(8)}  Folder`);
for (const f of folders) {
  console.log(`${String(f.id).padStart(5)}  ${f.kind.padEnd(8)}` +
              `${String(f.messages).padStart(9)}${String(f.unread).padStart(8)}  ` +
              `${'  '.repeat(f.depth)}${f.name}${f.subfolders > 0 ? '/' : ''}`);
}
const messages = folders.reduce((sum, f) => sum + f.messages, 0);
console.log(`${folders.length} folders, ${messages} messages`);
release(c);
