'use strict';
// The control's own face on the page: its drawing on a canvas the size of
// its element, redrawn when the element is resized; the mouse over it passed
// to the control as window messages; the events the control fires back, in
// a log; and the dialogs it opens (About box, property page) shown in the
// page from their templates.
//
// It fills every element marked data-vorn-face. The control it shows is its
// own, unless the page hands it one: VornFace.attach(element, { object }).
// Its requests go to the server apart from the rest of the page's: the
// event stream and the dialog list are asked for while other calls wait.
(() => {
  const PROGID = 'VORNOUTLOOKEXPRESS.VornOutlookExpressCtrl.1';
  const VERB_PROPERTIES = -7;
  const IDOK = 1;
  const IDCANCEL = 2;
  const EVENT_WAIT = 25000;   // ms a request for events waits on the server
  const DIALOG_POLL = 150;    // ms between looks at the dialog list
  const LOG_LIMIT = 200;      // entries the event log keeps
  const BUTTONS = [1, 4, 2];  // a DOM event's button: the control's Button value

  const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';

  class ApiError extends Error {
    constructor(status, body) {
      super((body && body.error) || `the server answered ${status}`);
      this.status = status;
    }
  }

  // POST /api/OPERATION. Resolves to the reply's JSON, or to its bytes
  // (ArrayBuffer) when `bytes`; rejects with ApiError.
  async function post(operation, body, { bytes = false } = {}) {
    const reply = await fetch(`/api/${operation}`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Vorn-Token': token },
      body: JSON.stringify(body),
    });
    if (!reply.ok) {
      let data = null;
      try {
        data = await reply.json();
      } catch (_) {
        data = null;
      }
      throw new ApiError(reply.status, data);
    }
    return bytes ? reply.arrayBuffer() : reply.json();
  }

  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className) made.className = className;
    if (text !== undefined) made.textContent = text;
    return made;
  }

  // Pixels a dialog description gives in base64 RGBA, on a canvas.
  function pictureOf(image) {
    const canvas = element('canvas', 'face-icon');
    canvas.width = image.width;
    canvas.height = image.height;
    const raw = atob(image.rgba);
    const pixels = new Uint8ClampedArray(raw.length);
    for (let i = 0; i < raw.length; i += 1) pixels[i] = raw.charCodeAt(i);
    if (pixels.length === image.width * image.height * 4) {
      canvas.getContext('2d').putImageData(new ImageData(pixels, image.width, image.height), 0, 0);
    }
    return canvas;
  }

  class Face {
    constructor(root, { object = null } = {}) {
      this.root = root;
      this.object = object;
      this.own = false;          // whether the face made the control itself
      this.gone = false;         // its own control was released by the server
      this.reviving = null;      // the making of it again, under way
      this.params = new Map();   // event name -> parameter names
      this.after = 0;            // the last event number seen
      this.sending = Promise.resolve();
      this.pendingMove = null;   // a move not sent yet: later moves replace it
      this.held = 0;             // buttons pressed over the face
      this.drawing = null;       // the drawing under way
      this.drawAgain = false;
      this.shown = new Map();    // dialog number -> its <dialog>
      this.watching = 0;         // calls running that may open dialogs
      this.build();
    }

    build() {
      const root = this.root;
      root.classList.add('face');
      const tools = element('div', 'face-tools');
      this.aboutButton = element('button', 'face-about', 'About\u2026');
      this.propertiesButton = element('button', 'face-properties', 'Properties\u2026');
      for (const button of [this.aboutButton, this.propertiesButton]) {
        button.type = 'button';
        button.disabled = true;
        tools.append(button);
      }
      this.status = element('span', 'face-status');
      this.status.setAttribute('role', 'status');
      tools.append(this.status);
      this.frame = element('div', 'face-frame');
      this.canvas = element('canvas', 'face-canvas');
      this.canvas.setAttribute('aria-label', 'The control');
      this.frame.append(this.canvas);
      this.log = element('ol', 'face-log');
      this.log.setAttribute('aria-label', 'Events the control fired');
      this.log.setAttribute('aria-live', 'polite');
      root.append(tools, this.frame, this.log);

      // Each button waits for its dialog to close before it can open another.
      const opens = (button, call) => button.addEventListener('click', async () => {
        button.disabled = true;
        try {
          await this.withDialogs(call());
        } finally {
          button.disabled = false;
        }
      });
      opens(this.aboutButton, () => this.revive()
        .then(() => post('call', { object: this.object, member: 'AboutBox' })));
      opens(this.propertiesButton, () => this.revive()
        .then(() => post('verb', { object: this.object, verb: VERB_PROPERTIES })));
    }

    say(text) {
      this.status.textContent = text;
    }

    async start() {
      this.own = this.object === null;
      await this.connect();
      this.aboutButton.disabled = false;
      this.propertiesButton.disabled = false;
      this.listenToMouse();
      new ResizeObserver(() => this.draw()).observe(this.frame);
      await this.draw();
      this.root.dataset.ready = 'true';
      this.readEvents();
    }

    // Makes the face's own control (again, after the server released it)
    // and keeps its events from before the first mouse message on.
    async connect() {
      if (this.own) {
        const made = await post('create', { name: PROGID });
        this.object = made.object;
      }
      const listened = await post('listen', { object: this.object });
      for (const event of listened.events) this.params.set(event.name, event.params);
      this.after = listened.after;
    }

    // After the server released the face's own control: makes it again,
    // draws it (which gives it its size) and reads its events. Resolves at
    // once when the control is there.
    revive() {
      if (!this.gone) return this.reviving || Promise.resolve();
      this.gone = false;
      this.reviving = (async () => {
        try {
          await this.connect();
          this.note('(the control was made again)');
          await this.draw();
          this.readEvents();
        } catch (error) {
          this.gone = true;
          throw error;
        } finally {
          this.reviving = null;
        }
      })();
      return this.reviving;
    }

    // ---- drawing ------------------------------------------------------------

    // Draws the control at the frame's size; a resize during a drawing
    // draws once more when it is done. Resolves when the canvas shows the
    // frame's last size.
    draw() {
      if (this.object === null) return Promise.resolve();
      if (this.gone) return this.revive().catch((error) => this.say(error.message));
      if (this.drawing) {
        this.drawAgain = true;
        return this.drawing;
      }
      this.drawing = (async () => {
        try {
          do {
            this.drawAgain = false;
            const width = Math.max(1, Math.min(4096, Math.round(this.frame.clientWidth)));
            const height = Math.max(1, Math.min(4096, Math.round(this.frame.clientHeight)));
            const bytes = await post('draw', { object: this.object, width, height, format: 'rgba' },
                                     { bytes: true });
            if (bytes.byteLength !== width * height * 4) {
              throw new Error('the drawing has the wrong size');
            }
            this.canvas.width = width;
            this.canvas.height = height;
            const pixels = new ImageData(new Uint8ClampedArray(bytes), width, height);
            this.canvas.getContext('2d').putImageData(pixels, 0, 0);
            this.root.dataset.drawn = `${width}x${height}`;
          } while (this.drawAgain);
        } catch (error) {
          this.say(`Cannot draw the control: ${error.message}`);
        } finally {
          this.drawing = null;
        }
      })();
      return this.drawing;
    }

    // ---- the mouse ----------------------------------------------------------

    listenToMouse() {
      const canvas = this.canvas;
      const shiftOf = (e) => (e.shiftKey ? 1 : 0) | (e.ctrlKey ? 2 : 0) | (e.altKey ? 4 : 0);
      const place = (e) => {
        const box = canvas.getBoundingClientRect();
        const clamp = (n) => Math.max(-32768, Math.min(32767, Math.round(n)));
        return { x: clamp(e.clientX - box.left), y: clamp(e.clientY - box.top) };
      };
      canvas.addEventListener('mousedown', (e) => {
        const button = BUTTONS[e.button];
        if (!button) return;
        e.preventDefault();
        this.held |= button;
        // The second press of a left double click is the double click.
        const action = button === 1 && e.detail === 2 ? 'dblclick' : 'down';
        this.send({ action, button, shift: shiftOf(e), ...place(e) });
      });
      // A button let go anywhere, once pressed over the face, is its release.
      window.addEventListener('mouseup', (e) => {
        const button = BUTTONS[e.button];
        if (!button || !(this.held & button)) return;
        this.held &= ~button;
        this.send({ action: 'up', button, buttons: e.buttons & 7, shift: shiftOf(e), ...place(e) });
      });
      canvas.addEventListener('mousemove', (e) => {
        this.move({ action: 'move', buttons: e.buttons & 7, shift: shiftOf(e), ...place(e) });
      });
      canvas.addEventListener('contextmenu', (e) => e.preventDefault());
    }

    // Sends mouse messages one after the other, in the order they came.
    send(message) {
      this.sending = this.sending.then(() => this.revive())
        .then(() => post('mouse', { object: this.object, ...message }))
        .catch((error) => this.say(`The control did not take the mouse: ${error.message}`));
      return this.sending;
    }

    // Moves wait their turn like the rest, but only the latest is sent.
    move(message) {
      if (this.pendingMove) {
        Object.assign(this.pendingMove, message);
        return;
      }
      this.pendingMove = { ...message };
      this.sending = this.sending.then(() => this.revive()).then(() => {
        const body = { object: this.object, ...this.pendingMove };
        this.pendingMove = null;
        return post('mouse', body);
      }).catch((error) => this.say(`The control did not take the mouse: ${error.message}`));
    }

    // ---- events -------------------------------------------------------------

    async readEvents() {
      let pause = 0;
      for (;;) {
        try {
          const got = await post('events', { object: this.object, after: this.after, wait: EVENT_WAIT });
          if (got.lost > 0) this.note(`(${got.lost} events lost)`);
          for (const event of got.events) this.logEvent(event);
          this.after = got.after;
          pause = 0;
        } catch (error) {
          if (error.status === 404 && this.own) {
            // The server released the control after a long idle time: the
            // face makes it again when it is next used (revive).
            this.gone = true;
            this.note('(the server released the control; using it makes it again)');
            return;
          }
          if (error.status === 404) {
            this.say('The control is gone: reload the page.');
            return;
          }
          if (error.status >= 400 && error.status < 500 && error.status !== 429) {
            this.say(`The control's events cannot be read: ${error.message}`);
            return;
          }
          // The server is busy or away for a moment: try again, less often.
          pause = Math.min(5000, pause * 2 || 250);
          await sleep(pause);
        }
      }
    }

    logEvent(event) {
      const names = this.params.get(event.name) || [];
      const args = event.args.map((value, i) => `${names[i] || `#${i + 1}`}=${value}`);
      const entry = element('li', '', `${event.name}(${args.join(', ')})`);
      entry.dataset.event = event.name;
      this.append(entry);
    }

    note(text) {
      this.append(element('li', 'face-note', text));
    }

    append(entry) {
      this.log.append(entry);
      while (this.log.childElementCount > LOG_LIMIT) this.log.firstElementChild.remove();
      entry.scrollIntoView({ block: 'nearest' });
    }

    // ---- dialogs ------------------------------------------------------------

    // Shows the dialogs that open while `call` runs, until it is done.
    async withDialogs(call) {
      this.watching += 1;
      let done = false;
      call.catch((error) => this.say(error.message)).finally(() => { done = true; });
      try {
        while (!done) {
          try {
            const { dialogs } = await post('dialogs', {});
            this.showDialogs(dialogs);
          } catch (error) {
            this.say(error.message);
          }
          if (!done) await sleep(DIALOG_POLL);
        }
      } finally {
        this.watching -= 1;
        if (this.watching === 0) this.showDialogs([]);
      }
    }

    showDialogs(list) {
      const open = new Set(list.map((d) => d.dialog));
      for (const [number, shown] of this.shown) {
        if (!open.has(number)) {
          shown.close();
          shown.remove();
          this.shown.delete(number);
        }
      }
      for (const description of list) {
        if (!this.shown.has(description.dialog)) this.openDialog(description);
      }
    }

    openDialog(d) {
      const dialog = element('dialog', 'face-dialog');
      const close = (result) => {
        if (!this.shown.has(d.dialog)) return;
        this.shown.delete(d.dialog);
        dialog.close();
        dialog.remove();
        post('close', { dialog: d.dialog, result }).catch((error) => this.say(error.message));
      };
      const body = element('div', 'face-dialog-body');
      body.style.width = `${d.width}px`;
      body.style.height = `${d.height}px`;
      body.style.background = d.face;
      if (d.font) body.style.fontSize = `${d.font.size}pt`;
      if (d.caption) {
        const bar = element('div', 'face-dialog-caption', d.caption);
        bar.style.height = `${d.captionHeight}px`;
        body.append(bar);
        dialog.setAttribute('aria-label', d.caption);
      }
      let first = null;
      for (const item of d.items) {
        let shown;
        if (item.kind === 'button') {
          shown = element('button', 'face-dialog-button', item.text);
          shown.type = 'button';
          shown.addEventListener('click', () => close(item.id));
          if (item.default) shown.classList.add('face-default');
          if (item.default || !first) first = shown;
        } else if (item.kind === 'icon') {
          shown = item.image ? pictureOf(item.image) : element('div', 'face-icon');
        } else {
          shown = element('div', 'face-dialog-text', item.text);
          shown.style.textAlign = item.align;
        }
        shown.style.left = `${item.x}px`;
        shown.style.top = `${item.y}px`;
        shown.style.width = `${item.width}px`;
        shown.style.height = `${item.height}px`;
        body.append(shown);
      }
      if (d.child) {
        // A property page: the frame round it gives it its title and buttons.
        dialog.classList.add('face-property-frame');
        dialog.setAttribute('aria-label', 'Properties');
        const title = element('div', 'face-dialog-caption face-frame-caption', 'Properties');
        const buttons = element('div', 'face-frame-buttons');
        for (const [text, result] of [['OK', IDOK], ['Cancel', IDCANCEL]]) {
          const button = element('button', 'face-dialog-button', text);
          button.type = 'button';
          button.addEventListener('click', () => close(result));
          buttons.append(button);
        }
        first = buttons.firstElementChild;
        dialog.append(title, body, buttons);
      } else {
        dialog.append(body);
      }
      // Escape closes it as its Cancel would.
      dialog.addEventListener('cancel', (e) => {
        e.preventDefault();
        close(IDCANCEL);
      });
      dialog.dataset.dialog = d.dialog;
      this.root.append(dialog);
      this.shown.set(d.dialog, dialog);
      dialog.showModal();
      if (first) first.focus();
    }
  }

  window.VornFace = {
    // Shows the control `object` (a number from the API; by default a new
    // control) in `root`. Resolves to the face once it is drawn.
    async attach(root, options = {}) {
      const face = new Face(root, options);
      await face.start();
      return face;
    },
  };

  function startAll() {
    if (!token) return;
    for (const root of document.querySelectorAll('[data-vorn-face]')) {
      window.VornFace.attach(root).catch((error) => {
        root.dataset.failed = error.message;
        const note = root.querySelector('.face-status');
        if (note) note.textContent = `The control cannot be shown: ${error.message}`;
      });
    }
  }
  if (document.readyState === 'loading') {
    document.addEventListener('DOMContentLoaded', startAll);
  } else {
    startAll();
  }
})();
